// SPDX-License-Identifier: Apache-2.0
// File-system calls whose form differs between systems: copy-on-write clones, copying a byte
// range in the kernel, dropping access a new item inherited from its folder, renames that never
// replace by accident, flushing a staged tree to the disk, and random bytes for hidden names.
// Stateless; any thread. Results are 0 or an errno value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/unique_fd.h"

namespace nimbara {

// Creates `dstName` in `dstDir` as a copy-on-write clone of the regular file open at `src`,
// owned by the helper, with none of the source's flags or extended attributes, and sets `dst`
// to it open for writing. ENOTSUP: no clone here, so create the file and copy its bytes.
int cloneFile(int src, int dstDir, const char* dstName, UniqueFd& dst);

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

// Fills `buf` with unpredictable bytes.
void randomBytes(void* buf, size_t len);

}  // namespace nimbara
