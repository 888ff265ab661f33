// SPDX-License-Identifier: Apache-2.0
// What keeps one operation from holding the operation queue for good: every step of a copy must
// end within kStallBound of the step before it, and nothing is read from or written to a file
// system that a user's process or another machine serves (it could leave a call unanswered).
// A call that never returns cannot be interrupted from here; these bound every call that does
// return, and keep the operations away from the file systems whose calls may not. Called from
// the operation queue only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace nimbara {

// A copy on a sound disk ends a step (a folder entry, a 16 MiB range of a file) in well under a
// second; thirty leave room for a slow disk that is busy with other work.
inline constexpr auto kStallBound = std::chrono::seconds(30);

// Starts the clock for the operation about to run, as of `start`.
void beginProgressWatch(
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());

// Notes that a step of the operation ended now. Throws FsFailure ("Cannot copy <path>: no
// progress for 30 seconds") when more than kStallBound passed since the previous step.
void noteProgress(const std::string& path);

// How far the running copy has come: bytes of file contents copied, and the bytes it measured
// before it began (the space check's size). Called on the operation queue.
using ProgressListener = std::function<void(uint64_t done, uint64_t total)>;

// Listeners are told at most this often while bytes move, and at least this often as long as
// steps (a 16 MiB range at most) end in time.
inline constexpr auto kProgressInterval = std::chrono::milliseconds(250);

// Hands the progress of the copy run in its scope to `listener` (none: nobody is told), and
// stops when it ends. One at a time, on the operation queue.
class ProgressReport {
  public:
    explicit ProgressReport(ProgressListener listener);
    ~ProgressReport();
    ProgressReport(const ProgressReport&) = delete;
    ProgressReport& operator=(const ProgressReport&) = delete;
};

// The copy measured `total` bytes and starts: the listener hears (0, total).
void noteCopyTotal(uint64_t total);
// `bytes` more of a file's contents were copied; the listener hears of it when
// kProgressInterval has passed since it last heard.
void noteBytesCopied(uint64_t bytes);
// A file is copied whole: counts what the measure counted for it (`allocated`) beyond the
// bytes already noted, so that a tree of small files moves toward the total too.
void noteFileCopied(uint64_t allocated);

// Throws FsFailure ("<what> <path>: it lies on a <kind> file system, which the helper does not
// use") when the item open at `fd` is on a file system that untrustedFileSystem() names.
void requireTrustedFileSystem(int fd, const std::string& what, const std::string& path);

}  // namespace nimbara
