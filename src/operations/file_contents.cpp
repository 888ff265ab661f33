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

}  // namespace

void copyFileContents(int src, int dst, const struct stat& st, const std::string& srcPath,
                      uint64_t allowance) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const bool sparse = allocatedBytes(st) < size;
    uint64_t copied = 0;
    for (uint64_t offset = 0; offset < size;) {
        uint64_t end = size;
        if (sparse) {  // copy only the data; the holes between stay holes
            off_t data = ::lseek(src, static_cast<off_t>(offset), SEEK_DATA);
            if (data < 0 && errno == ENXIO) break;
            off_t hole = data < 0 ? -1 : ::lseek(src, data, SEEK_HOLE);
            if (hole < 0) fail("Cannot read", srcPath);
            offset = static_cast<uint64_t>(data);
            end = std::min(size, static_cast<uint64_t>(hole));
            if (offset >= end) break;
        }
        // Holes filled since the space was checked must not take more than is left.
        if (sparse && (copied += end - offset) > allowance) {
            fail("Cannot copy", srcPath, "not enough space: it grew while being copied");
        }
        for (; offset < end; offset += std::min(end - offset, kChunkBytes)) {
            checkStop(srcPath);
            int err = copyFileRange(src, dst, offset, std::min(end - offset, kChunkBytes));
            if (err == EOVERFLOW) fail("Cannot copy", srcPath, kChangedSize);
            if (err != 0) fail("Cannot copy", srcPath, err);
            noteBytesCopied(std::min(end - offset, kChunkBytes));
        }
    }
    if (sparse && ::ftruncate(dst, static_cast<off_t>(size)) != 0) fail("Cannot copy", srcPath);
    char probe;
    ssize_t more = ::pread(src, &probe, 1, static_cast<off_t>(size));
    if (more < 0) fail("Cannot read", srcPath);
    if (more > 0) fail("Cannot copy", srcPath, kChangedSize);
    noteFileCopied(allocatedBytes(st));
}

}  // namespace nimbara
