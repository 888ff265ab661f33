// SPDX-License-Identifier: Apache-2.0
// What keeps one operation from holding the operation queue for good: every step of a copy must
// end within kStallBound of the step before it, and nothing is read from or written to a file
// system that a user's process or another machine serves (it could leave a call unanswered).
// A call that never returns cannot be interrupted from here; these bound every call that does
// return, and keep the operations away from the file systems whose calls may not. Called from
// the operation queue only.
#pragma once

#include <chrono>
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

// Throws FsFailure ("<what> <path>: it lies on a <kind> file system, which the helper does not
// use") when the item open at `fd` is on a file system that untrustedFileSystem() names.
void requireTrustedFileSystem(int fd, const std::string& what, const std::string& path);

}  // namespace nimbara
