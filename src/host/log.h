// SPDX-License-Identifier: Apache-2.0
// The daemon's log: one line per event on standard output, "[<UTC time>] [helper] <message>\n".
// Control characters and backslashes in a message are escaped, so a name taken from a client or
// a bundle can never start a line of its own, and a line is at most kMaxLogLineBytes long. Each
// line goes out in a single write(2), so lines from different threads never interleave. Any
// thread may log.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "host/log_journal.h"

namespace nimbara {

// Writes of up to PIPE_BUF bytes to a pipe are never split or interleaved.
inline constexpr size_t kMaxLogLineBytes = 4096;

// `message` with "\\" for a backslash, "\n", "\r", "\t" for those and "\xHH" for every other
// byte below 0x20 and for 0x7f; other bytes (UTF-8 text included) are kept.
std::string escapeLogText(std::string_view message);

// The full line for `message` logged at `when`, newline included: the message escaped, and cut
// at an escape boundary with "..." so that the line fits kMaxLogLineBytes.
std::string formatLogLine(std::time_t when, std::string_view message);

// Writes the line for `message` at the current time to standard output, in the journal's form
// (host/log_journal.h) when standard output is the journal; never fails.
void writeLogLine(std::string_view message, LogPriority priority = LogPriority::info);

// Rate limit for lines that an unauthenticated peer can cause (refused connections): at most
// kLinesPerWindow lines per window; the first line allowed after a window in which some were
// held back is preceded by one line that counts them. Thread-safe.
class RefusalLogLimiter {
  public:
    static constexpr int kLinesPerWindow = 5;
    static constexpr auto kWindow = std::chrono::seconds(1);
    using Clock = std::chrono::steady_clock;

    // Logs `message` through `write` unless the window's allowance is spent.
    template <class Write>
    void log(std::string_view message, Write&& write, Clock::time_point now = Clock::now()) {
        std::lock_guard lock(mutex_);
        if (now - windowStart_ >= kWindow) {
            if (heldBack_ > 0) write(heldBackText(heldBack_));
            windowStart_ = now;
            written_ = 0;
            heldBack_ = 0;
        }
        if (written_ < kLinesPerWindow) {
            ++written_;
            write(message);
        } else {
            ++heldBack_;
        }
    }

    // "Rejected connection: N more refusals not logged"
    static std::string heldBackText(uint64_t count);

  private:
    std::mutex mutex_;
    Clock::time_point windowStart_{};
    int written_ = 0;
    uint64_t heldBack_ = 0;
};

}  // namespace nimbara
