// SPDX-License-Identifier: Apache-2.0
#include "operations/file_contents.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "operations/progress_watch.h"
#include "operations/tree_items.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

using namespace tree_items;

// Bounded so that a stop request is seen, and progress noted, between chunks even on a slow disk.
constexpr uint64_t kChunkBytes = uint64_t{16} << 20;

off_t seek(int fd, uint64_t offset, int whence) {
    auto standIn = seekForTests.load(std::memory_order_relaxed);
    return standIn ? standIn(fd, static_cast<off_t>(offset), whence)
                   : ::lseek(fd, static_cast<off_t>(offset), whence);
}

void copyRange(int src, int dst, uint64_t offset, uint64_t end, const std::string& srcPath) {
    for (; offset < end; offset += std::min(end - offset, kChunkBytes)) {
        checkStop(srcPath);
        int err = copyFileRange(src, dst, offset, std::min(end - offset, kChunkBytes));
        if (err == EOVERFLOW) fail("Cannot copy", srcPath, kChangedSize);
        if (err != 0) fail("Cannot copy", srcPath, err);
        noteBytesCopied(std::min(end - offset, kChunkBytes));
    }
}

void needSpace(uint64_t bytes, uint64_t allowance, const std::string& srcPath) {
    // Holes filled since the space was checked, or a whole copy of a file whose holes cannot be
    // trusted, must not take more than is left.
    if (bytes > allowance) {
        fail("Cannot copy", srcPath, "not enough space: it holds more data than its blocks");
    }
}

// Copies the data ranges the file system reports, leaving the holes between them, and adds the
// bytes copied to `copied`. False when its answers cannot be trusted: a seek failed, or a file
// with blocks shows no data (the map of a compressed or not yet written file can read as one
// hole, such as space reserved but never written).
bool copyDataRanges(int src, int dst, const struct stat& st, const std::string& srcPath,
                    uint64_t allowance, uint64_t& copied) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    for (uint64_t offset = 0; offset < size;) {
        off_t data = seek(src, offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // no data from here on
        off_t hole = data < 0 ? -1 : seek(src, static_cast<uint64_t>(data), SEEK_HOLE);
        if (hole < 0 || hole < data) return false;
        uint64_t end = std::min(size, static_cast<uint64_t>(hole));
        if (static_cast<uint64_t>(data) >= end) break;
        needSpace(copied += end - static_cast<uint64_t>(data), allowance, srcPath);
        copyRange(src, dst, static_cast<uint64_t>(data), end, srcPath);
        offset = end;
    }
    return copied > 0 || st.st_blocks == 0;
}

}  // namespace

uint64_t copyFileContents(int src, int dst, const struct stat& st, const std::string& srcPath,
                          bool byRanges, uint64_t allowance) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    uint64_t written = size;
    if (!byRanges) {
        copyRange(src, dst, 0, size, srcPath);
    } else if (written = 0; !copyDataRanges(src, dst, st, srcPath, allowance, written)) {
        // Whole, over whatever ranges were written already.
        needSpace(written = size, allowance, srcPath);
        copyRange(src, dst, 0, size, srcPath);
    }
    if (byRanges && ::ftruncate(dst, static_cast<off_t>(size)) != 0) fail("Cannot copy", srcPath);
    char probe;
    ssize_t more = ::pread(src, &probe, 1, static_cast<off_t>(size));
    if (more < 0) fail("Cannot read", srcPath);
    if (more > 0) fail("Cannot copy", srcPath, kChangedSize);
    noteFileCopied(allocatedBytes(st));
    return written;
}

}  // namespace nimbara
