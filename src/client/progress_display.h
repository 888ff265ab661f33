// SPDX-License-Identifier: Apache-2.0
// How the command-line client shows a copy's progress on standard error: on a terminal one bar
// redrawn in place (bytes, rate, time left), otherwise one plain line per report. Used by one
// thread; keeps only the time of the copy's start.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace nimbara {

// "512 B", "1.5 KB", "120.3 MB", "2.0 GB" (powers of 1,000).
std::string byteText(uint64_t bytes);

// The bar's text for `done` of `total` after `elapsed` since the start line:
// "[#####-----]  50%  1.5 MB of 3.0 MB  1.0 MB/s  2 s left" (rate and time left once known).
std::string progressBarText(uint64_t done, uint64_t total, std::chrono::milliseconds elapsed);

class ProgressDisplay {
  public:
    explicit ProgressDisplay(bool terminal) : terminal_(terminal) {}
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void show(uint64_t done, uint64_t total);
    // The request has had no answer for a while: another operation runs first.
    void waiting();

  private:
    bool terminal_;
    bool started_ = false;
    bool drawn_ = false;  // a bar is on the terminal's current line
    std::chrono::steady_clock::time_point start_;
};

}  // namespace nimbara
