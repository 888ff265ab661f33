// SPDX-License-Identifier: Apache-2.0
// Copying one regular file's bytes into a new file the helper made. Called only from the
// operation queue.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace nimbara {

// Copies exactly the size the file had when it was opened (`st`); a file that grew or shrank
// meanwhile fails the copy. With `byRanges` only its data ranges are copied, so the holes stay
// holes, taking at most `allowance` bytes; a file whose map of holes cannot be trusted (a seek
// fails, or a file with blocks shows no data at all) is copied whole instead, within the same
// allowance. Returns the bytes written, which the caller charges to the copy's space.
uint64_t copyFileContents(int src, int dst, const struct stat& st, const std::string& srcPath,
                          bool byRanges, uint64_t allowance);

// Tests only: when set, stands in for lseek(2) as a copy asks for data and holes.
inline std::atomic<off_t (*)(int fd, off_t offset, int whence)> seekForTests{nullptr};

}  // namespace nimbara
