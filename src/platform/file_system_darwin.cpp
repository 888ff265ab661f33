// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/acl.h>
#include <sys/clonefile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/sys.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

// Every extended attribute name on `fd`, NUL-separated; 0 or an errno value.
// (The descriptor calls take no XATTR_NOFOLLOW: they refuse it with EINVAL.)
int attributeNames(int fd, std::vector<char>& names) {
    for (;;) {
        ssize_t size = ::flistxattr(fd, nullptr, 0, 0);
        if (size < 0) return errno;
        names.resize(static_cast<size_t>(size));
        if (size == 0) return 0;
        ssize_t got = ::flistxattr(fd, names.data(), names.size(), 0);
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE) return errno;  // ERANGE: attributes added meanwhile; ask again
    }
}

// Removes what a clone carries over besides data and mode: file flags and every extended
// attribute. 0 or an errno value.
int clearClonedMetadata(int fd) {
    // Flags first: an immutable or append-only flag would refuse every later change.
    if (::fchflags(fd, 0) != 0) return errno;
    std::vector<char> names;
    if (int err = attributeNames(fd, names)) return err;
    // The quarantine attribute goes too: a quarantined plug-in would prompt in every host.
    for (size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        if (::fremovexattr(fd, name, 0) != 0 && errno != ENOATTR) return errno;
        at += std::strlen(name) + 1;
    }
    return 0;
}

}  // namespace

int cloneFile(int src, int dstDir, const char* dstName, UniqueFd& dst) {
    // CLONE_NOOWNERCOPY: the clone belongs to the helper, never to the source's owner.
    if (::fclonefileat(src, dstDir, dstName, CLONE_NOOWNERCOPY) != 0) {
        return errno == EXDEV || errno == ENOTSUP || errno == EOPNOTSUPP ? ENOTSUP : errno;
    }
    UniqueFd fd(::openat(dstDir, dstName, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        int err = errno;
        ::unlinkat(dstDir, dstName, 0);
        return err;
    }
    // What was opened by name must be the clone just made, not an item put there meanwhile.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) return EEXIST;
    // A file compressed by the file system keeps its data in attributes that clearing would
    // destroy; its bytes are copied instead (reading it gives the plain data).
    if (st.st_flags & UF_COMPRESSED) {
        ::unlinkat(dstDir, dstName, 0);
        return ENOTSUP;
    }
    if (int err = clearClonedMetadata(fd.get())) return err;
    dst = std::move(fd);
    return 0;
}

// No ranged in-kernel copy between descriptors here (clones cover the common case), so the
// bytes go through a buffer.
int copyFileRange(int src, int dst, uint64_t offset, uint64_t length) {
    return copyRangeThroughBuffer(src, dst, offset, length);
}

int dropInheritedAccess(int fd) {
    // An empty extended list in place of whatever the item inherited from its folder.
    acl_t empty = ::acl_init(0);
    if (!empty) return errno;
    int err = ::acl_set_fd_np(fd, empty, ACL_TYPE_EXTENDED) == 0 ? 0 : errno;
    ::acl_free(empty);
    return err == ENOTSUP ? 0 : err;  // a volume without access lists has nothing to drop
}

int renameNoReplace(int dir, const char* from, const char* to) {
    return ::renameatx_np(dir, from, dir, to, RENAME_EXCL) == 0 ? 0 : errno;
}

int renameExchange(int dir, const char* a, const char* b) {
    return ::renameatx_np(dir, a, dir, b, RENAME_SWAP) == 0 ? 0 : errno;
}

bool isMountRoot(int) {
    // Every mount has a device of its own here (there are no bind mounts of one file system
    // into itself), so the device comparison of the callers already finds mount points.
    return false;
}

void randomBytes(void* buf, size_t len) {
    ::arc4random_buf(buf, len);  // the kernel's generator; cannot fail
}

}  // namespace nimbara
