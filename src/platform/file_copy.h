// The file system's own ways of placing and copying files, for building a copy beside its
// destination and putting it in place: renames that never replace or that swap two items in one
// step, clones, in-kernel byte copies, and stripping what a clone carries besides data and mode.
// Stateless; called from the operation queue.
#pragma once

#include <sys/types.h>

#include "base/unique_fd.h"

namespace nimbara {

// Renames `from` in `fromDir` to `to` in `toDir` only if `to` does not exist (EEXIST otherwise).
// Returns 0, or -1 with errno set.
int renameNoReplace(int fromDir, const char* from, int toDir, const char* to);

// Swaps the two existing items `a` in `aDir` and `b` in `bDir` in one step.
// Returns 0, or -1 with errno set.
int renameSwap(int aDir, const char* a, int bDir, const char* b);

// Creates `dstName` in `dstDir` as a copy-on-write clone of the regular file open at `src`,
// owned by the caller's effective user, and returns it open for writing. Returns an invalid fd
// with `err` set on failure; ENOTSUP means "no clone here: create the file and copy its bytes".
UniqueFd cloneFile(int src, int dstDir, const char* dstName, int& err);

// Copies up to `len` bytes from `src` to `dst` at their file offsets inside the kernel, as
// copy_file_range(2): the count copied, 0 at the end of `src`, or -1 with errno set (ENOSYS,
// EXDEV, EINVAL or EOPNOTSUPP: "copy through a buffer instead").
ssize_t copyFileRange(int src, int dst, size_t len);

// Removes from the new file at `fd` what a clone carries over besides data and mode: file flags
// and every extended attribute. Returns true, or false with errno set.
bool clearCopiedMetadata(int fd);

}  // namespace nimbara
