// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "base/sys.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {}  // namespace

int cloneFile(int, int, const char*, UniqueFd&) {
    // copy_file_range already shares extents where the file system can, so the byte copy is
    // always the way here.
    return ENOTSUP;
}

int copyFileRange(int src, int dst, uint64_t offset, uint64_t length) {
    loff_t in = static_cast<loff_t>(offset), out = static_cast<loff_t>(offset);
    while (length > 0) {
        ssize_t n = ::copy_file_range(src, &in, dst, &out, length, 0);
        if (n > 0) {
            length -= static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) return EOVERFLOW;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            return copyRangeThroughBuffer(src, dst, static_cast<uint64_t>(in), length);
        }
        return errno;
    }
    return 0;
}

bool copyByDataRanges(int, const struct stat& st, int) {
    // Fewer blocks than bytes: holes, which SEEK_DATA and SEEK_HOLE find.
    return static_cast<uint64_t>(st.st_blocks) * 512 < static_cast<uint64_t>(st.st_size);
}

int clearRemovalFlags(int, const char*) {
    return ENOTSUP;  // the byte copy creates every file new: no flag comes with it
}

int dropInheritedAccess(int fd) {
    for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
        if (::fremovexattr(fd, acl) != 0 && errno != ENODATA && errno != ENOTSUP) return errno;
    }
    return 0;
}

int renameNoReplace(int dir, const char* from, const char* to) {
    return ::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int renameExchange(int dir, const char* a, const char* b) {
    return ::renameat2(dir, a, dir, b, RENAME_EXCHANGE) == 0 ? 0 : errno;
}

bool isMountRoot(int fd) {
    struct statx stx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) {
        return false;  // unknown: the device comparison still guards other file systems
    }
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
           (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

FreeSpace freeSpace(int fd) {
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0) return {UINT64_MAX, UINT64_MAX};  // the copy finds out
    // A file system without a fixed number of inodes reports none at all.
    uint64_t inodes = vfs.f_files == 0 ? UINT64_MAX : static_cast<uint64_t>(vfs.f_favail);
    return {static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize, inodes};
}

void randomBytes(void* buf, size_t len) {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ssize_t n = ::getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) std::abort();  // the kernel always has random bytes to give
        p += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace nimbara
