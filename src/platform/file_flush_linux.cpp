// SPDX-License-Identifier: Apache-2.0
// One syncfs for the whole staged tree: a single journal commit, where a flush per file would
// commit once per file (a bundle of thousands of small files pays that thousands of times).
#include <errno.h>
#include <unistd.h>

#include "platform/file_system.h"

namespace nimbara {

int flushStagedItem(int) {
    return 0;
}  // the file system is flushed once before the swap

int flushBeforeSwap(int fd) {
    // Since Linux 5.8 syncfs also reports write-back errors of the file system since the open.
    return ::syncfs(fd) == 0 ? 0 : errno;
}

int flushFolder(int fd) {
    return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace nimbara
