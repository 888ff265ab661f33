// SPDX-License-Identifier: Apache-2.0
// The flush calls of the durability bench, in place of src/platform's (the linker takes these
// before the library's): one run then compares, interleaved, the copy with no flush (as before
// durable swaps), with one syncfs before the swap (what Linux does), and with an fsync per new
// file and folder (what macOS does, with its own call), each with the folder flushed after.
#include <errno.h>
#include <unistd.h>

#include "flush_modes.h"

namespace nimbara {

FlushMode benchFlushMode = FlushMode::fileSystem;

int flushStagedItem(int fd) {
    return benchFlushMode == FlushMode::perItem && ::fsync(fd) != 0 ? errno : 0;
}

int flushBeforeSwap(int fd) {
    return benchFlushMode == FlushMode::fileSystem && ::syncfs(fd) != 0 ? errno : 0;
}

int flushFolder(int fd) {
    return benchFlushMode != FlushMode::none && ::fsync(fd) != 0 ? errno : 0;
}

}  // namespace nimbara
