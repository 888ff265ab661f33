// SPDX-License-Identifier: Apache-2.0
// Item by item: there is no call that flushes one volume. fsync alone leaves the data in the
// drive's cache, in any order; F_BARRIERFSYNC also orders it before every later write, the swap
// included, without the full cache flush of F_FULLFSYNC, which only the swap itself pays.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file_system.h"

namespace nimbara {
namespace {

// A file system without the requested flush (not APFS or HFS+) answers ENOTSUP or EINVAL; a
// plain fsync is then the most it offers.
int flushWith(int fd, int command) {
    if (::fcntl(fd, command) != -1) return 0;
    if (errno != ENOTSUP && errno != EINVAL) return errno;
    return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

int flushStagedItem(int fd) {
    return flushWith(fd, F_BARRIERFSYNC);
}

int flushBeforeSwap(int) {
    return 0;
}  // every item was flushed as it was made

int flushFolder(int fd) {
    return flushWith(fd, F_FULLFSYNC);
}

}  // namespace nimbara
