// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/clonefile.h>
#include <sys/mount.h>
#include <sys/param.h>
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

// Removes a clone that is not to be kept; its flags go first, or they would keep it.
int discardClone(int fd, int dstDir, const char* dstName) {
    ::fchflags(fd, 0);
    return ::unlinkat(dstDir, dstName, 0) == 0 ? 0 : errno;
}

}  // namespace

int cloneFile(int src, int dstDir, const char* dstName, UniqueFd& dst) {
    // CLONE_NOOWNERCOPY: the clone belongs to the helper, never to the source's owner.
    // CLONE_NOFOLLOW: a link put at the new name is never followed.
    if (::fclonefileat(src, dstDir, dstName, CLONE_NOFOLLOW | CLONE_NOOWNERCOPY) != 0) {
        return errno == EXDEV || errno == ENOTSUP || errno == EOPNOTSUPP ? ENOTSUP : errno;
    }
    // Read-only: an immutable flag the clone carried refuses opening it for writing, while
    // clearing flags and attributes and setting mode and access need ownership alone.
    UniqueFd fd(::openat(dstDir, dstName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
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
        int err = discardClone(fd.get(), dstDir, dstName);
        return err == 0 ? ENOTSUP : err;
    }
    if (int err = clearClonedMetadata(fd.get())) {
        int gone = discardClone(fd.get(), dstDir, dstName);
        // An attribute the system protects (provenance, macl) refuses removal even to root:
        // the byte copy carries no attribute at all.
        if (gone == 0 && (err == EPERM || err == EACCES)) return ENOTSUP;
        return err;
    }
    dst = std::move(fd);
    return 0;
}

bool copyByDataRanges(int src, const struct stat& st, int dstDir) {
    // A compressed or dataless file has few blocks for its size, yet no holes: its data lies
    // elsewhere, and its hole map would read as one hole.
    if (st.st_flags & (UF_COMPRESSED | SF_DATALESS)) return false;
    if (static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(st.st_size)) {
        return false;
    }
    // Only where both file systems keep holes (HFS+ cannot seek to them).
    return ::fpathconf(src, _PC_MIN_HOLE_SIZE) > 0 && ::fpathconf(dstDir, _PC_MIN_HOLE_SIZE) > 0;
}

int clearRemovalFlags(int dir, const char* name) {
    constexpr uint32_t kKeeping = UF_IMMUTABLE | UF_APPEND;  // what a file's owner can set
    UniqueFd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) return errno;
    // Only the helper's own file: a user's flags on her own items are hers to clear.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || !(st.st_flags & kKeeping)) {
        return ENOTSUP;
    }
    return ::fchflags(fd.get(), st.st_flags & ~kKeeping) == 0 ? 0 : errno;
}

// No ranged in-kernel copy between descriptors here (clones cover the common case), so the
// bytes go through a buffer.
int copyFileRange(int src, int dst, uint64_t offset, uint64_t length) {
    return copyRangeThroughBuffer(src, dst, offset, length);
}

int dropInheritedAccess(int fd) {
    // The access list the item inherited from its folder is removed, not emptied (as chmod -N
    // does it): an empty list would still be stored with the item.
    filesec_t security = ::filesec_init();
    if (!security) return errno;
    int err = ::filesec_set_property(security, FILESEC_ACL, _FILESEC_REMOVE_ACL) == 0 &&
                      ::fchmodx_np(fd, security) == 0
                  ? 0
                  : errno;
    ::filesec_free(security);
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

FreeSpace freeSpace(int fd) {
    // statfs, not statvfs: the latter's counts are 32 bits wide here and wrap on large volumes.
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0 || fs.f_bsize == 0) return {UINT64_MAX, UINT64_MAX};
    uint64_t blocks = fs.f_bavail;
    uint64_t bytes = blocks > UINT64_MAX / fs.f_bsize ? UINT64_MAX : blocks * fs.f_bsize;
    // A file system without a fixed number of inodes reports none at all.
    return {bytes, fs.f_files == 0 ? UINT64_MAX : static_cast<uint64_t>(fs.f_ffree)};
}

void randomBytes(void* buf, size_t len) {
    ::arc4random_buf(buf, len);  // the kernel's generator; cannot fail
}

}  // namespace nimbara
