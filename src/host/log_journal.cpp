// SPDX-License-Identifier: Apache-2.0
#include "host/log_journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>

#include "host/log.h"

namespace nimbara {
namespace {

// The unsigned decimal number `text` holds in full.
bool parseWhole(std::string_view text, uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool namesJournalStream(std::string_view journalStream, uint64_t dev, uint64_t ino) {
    size_t colon = journalStream.find(':');
    if (colon == std::string_view::npos) return false;
    uint64_t wantDev = 0, wantIno = 0;
    return parseWhole(journalStream.substr(0, colon), wantDev) &&
           parseWhole(journalStream.substr(colon + 1), wantIno) && wantDev == dev && wantIno == ino;
}

bool logGoesToJournal() {
    static const bool journal = [] {
        const char* stream = std::getenv("JOURNAL_STREAM");
        struct stat st;
        return stream != nullptr && ::fstat(STDOUT_FILENO, &st) == 0 &&
               namesJournalStream(stream, st.st_dev, st.st_ino);
    }();
    return journal;
}

std::string formatJournalLine(LogPriority priority, std::string_view message) {
    // The plain line without its "[<time>] " head: the same escaping and the same cut.
    std::string plain = formatLogLine(0, message);
    // Built by appending: g++ -O3 mistakes a prefix added with operator+ for an overlapping copy.
    std::string line(1, '<');
    line.append(std::to_string(static_cast<int>(priority))).append(1, '>');
    line.append(plain, plain.find("[helper] "));
    return line;
}

std::string formatFatalLine(std::string_view what, bool journal) {
    std::string line = journal ? "<3>" : "";
    line.append("[helper] Fatal: ").append(what).append("\n");
    return line;
}

}  // namespace nimbara
