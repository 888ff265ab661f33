// SPDX-License-Identifier: Apache-2.0
// File-system calls whose form differs between systems: copy-on-write clones, copying a byte
// range in the kernel, whether a file is copied by its data ranges, flags that keep an item from
// being removed, dropping access a new item inherited from its folder, renames that never
// replace by accident, free space, flushing a staged tree to the disk, and random bytes for
// hidden names. Stateless; any thread. Results are 0 or an errno value.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "base/unique_fd.h"

namespace nimbara {

// Creates `dstName` in `dstDir` as a copy-on-write clone of the regular file open at `src`,
// owned by the helper, with none of the source's flags or extended attributes, and sets `dst`
// to it open (for changing its mode and access, not for writing). ENOTSUP: no clone here, or
// one that cannot be made plain (nothing is left at `dstName`), so create the file and copy
// its bytes.
int cloneFile(int src, int dstDir, const char* dstName, UniqueFd& dst);

// True when the regular file open at `src` (`st`) is copied into the folder `dstDir` by its
// data ranges, its holes left holes; false when its bytes are copied whole (or cloned).
bool copyByDataRanges(int src, const struct stat& st, int dstDir);

// Clears the flags that keep the helper's own file `name` in `dir` from being removed (an
// immutable or append-only flag a clone carried over from its source). 0 when it cleared some;
// ENOTSUP when there were none it may clear.
int clearRemovalFlags(int dir, const char* name);

// Copies bytes [offset, offset + length) of `src` to the same offsets of `dst`, in the kernel
// where it can. EOVERFLOW when `src` ends before offset + length.
int copyFileRange(int src, int dst, uint64_t offset, uint64_t length);

// Removes any access control list the item behind `fd` inherited, leaving its mode alone.
int dropInheritedAccess(int fd);

// Renames `from` to `to` in `dir`; EEXIST when `to` exists, whatever it is.
int renameNoReplace(int dir, const char* from, const char* to);

// Swaps the items `a` and `b` in `dir` in one step; both must exist.
int renameExchange(int dir, const char* a, const char* b);

// A staged tree reaches the disk before it is swapped in, so that after a power cut the
// destination holds the old item or the complete new one, never empty or short files. Each
// system flushes the cheaper way: item by item (flushStagedItem on every new file and folder,
// macOS), or once for the whole file system before the swap (flushBeforeSwap, Linux); the other
// call does nothing there. flushFolder makes a folder's entries durable: the swap itself.
int flushStagedItem(int fd);
int flushBeforeSwap(int fd);
int flushFolder(int fd);

// True when the folder behind `fd` is where a file system (or a bind mount of one) is mounted.
bool isMountRoot(int fd);

// Space (bytes) and inodes that unprivileged users may still fill on the file system of `fd`;
// UINT64_MAX for what is unknown or unlimited.
struct FreeSpace {
    uint64_t bytes;
    uint64_t inodes;
};
FreeSpace freeSpace(int fd);

// Fills `buf` with unpredictable bytes.
void randomBytes(void* buf, size_t len);

}  // namespace nimbara
