// SPDX-License-Identifier: Apache-2.0
// LogFile: the file the service manager opened as the helper's standard output, when it is a
// regular file, remembered by path at start so that after a rotation (the file renamed, SIGHUP)
// the log goes on in a fresh file at that path. Each log line is one write(2) and the new file
// takes the old one's place with dup2, so every line lands whole in one of the two. Made once at
// start on the main thread; reopen() runs on the signal thread, while any thread may log.
#pragma once

#include <sys/types.h>

#include <string>

namespace nimbara {

class LogFile {
  public:
    // Remembers standard output's path when it is a regular file (and whether standard error
    // is the same open file); otherwise there is nothing to reopen.
    static LogFile ofStandardOutput();

    // "" when standard output is not a regular file.
    const std::string& path() const { return path_; }

    // Opens path() anew, appending, and puts it in place of standard output (and of standard
    // error when that shared the file). Never follows a link; accepts only a regular file of
    // the helper's own user with one name, and creates it (0644) when missing. Returns "" on
    // success, else the reason; standard output then stays on the file it had.
    std::string reopen() const;

  private:
    std::string path_;
    bool errorToo_ = false;  // standard error was the same open file at start
};

// The log lines of a reopen, in full: "Reopened the log at PATH" (written to the new file),
// "Cannot reopen the log at PATH: REASON; writing on to the file it had" and "Standard output is
// not a file; there is no log to reopen".
std::string reopenedText(const std::string& path);
std::string reopenFailedText(const std::string& path, const std::string& reason);
inline constexpr const char* kNothingToReopen =
    "Standard output is not a file; there is no log to reopen";

}  // namespace nimbara
