// SPDX-License-Identifier: Apache-2.0
// Copying one regular file's bytes into a new file the helper made.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace nimbara {

// Copies exactly the size the file had when it was opened (`st`); a file that grew or shrank
// meanwhile fails the copy. A file with holes is copied by its data ranges, so the holes stay
// holes, and then may take at most `allowance` bytes.
void copyFileContents(int src, int dst, const struct stat& st, const std::string& srcPath,
                      uint64_t allowance);

}  // namespace nimbara
