// SPDX-License-Identifier: Apache-2.0
// How a log line is framed for where standard output goes. Elsewhere a line is the plain
// timestamped line of host/log.h; when standard output is the system journal (JOURNAL_STREAM
// names its device and inode), a line starts with its syslog priority, "<3>" or "<6>", and has
// no timestamp of its own, since the journal stamps every line. Pure functions, and a check made
// once per process; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbara {

enum class LogPriority {
    error = 3,  // LOG_ERR: something failed (an operation, the start, the record)
    info = 6,   // LOG_INFO: everything else
};

// True when `journalStream` ("DEVICE:INODE", both decimal, as systemd sets JOURNAL_STREAM)
// names the file with device `dev` and inode `ino`; false for anything else, malformed included.
bool namesJournalStream(std::string_view journalStream, uint64_t dev, uint64_t ino);

// True when standard output is the journal stream that JOURNAL_STREAM names. Decided at the
// first call and kept: standard output does not change while the helper runs.
bool logGoesToJournal();

// The journal's form of a line: "<P>[helper] <message>\n", the message escaped and cut exactly
// as in the plain form.
std::string formatJournalLine(LogPriority priority, std::string_view message);

// The line that ends a start that failed: "[helper] Fatal: <what>\n", with "<3>" in front for
// the journal. It carries no timestamp in either form.
std::string formatFatalLine(std::string_view what, bool journal);

}  // namespace nimbara
