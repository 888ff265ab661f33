#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/clonefile.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/file_copy.h"

namespace nimbara {
namespace {

// Every extended attribute name on `fd`, NUL-separated; false with errno set on failure.
// (The descriptor calls take no XATTR_NOFOLLOW: they refuse it with EINVAL.)
bool attributeNames(int fd, std::vector<char>& names) {
    for (;;) {
        ssize_t size = ::flistxattr(fd, nullptr, 0, 0);
        if (size < 0) return false;
        names.resize(static_cast<size_t>(size));
        if (size == 0) return true;
        ssize_t got = ::flistxattr(fd, names.data(), names.size(), 0);
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: attributes added meanwhile; ask again
    }
}

}  // namespace

int renameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
    return ::renameatx_np(fromDir, from, toDir, to, RENAME_EXCL);
}

int renameSwap(int aDir, const char* a, int bDir, const char* b) {
    return ::renameatx_np(aDir, a, bDir, b, RENAME_SWAP);
}

UniqueFd cloneFile(int src, int dstDir, const char* dstName, int& err) {
    // CLONE_NOOWNERCOPY: the clone belongs to us, never to the source's owner.
    if (::fclonefileat(src, dstDir, dstName, CLONE_NOOWNERCOPY) != 0) {
        err = errno == EXDEV || errno == ENOTSUP || errno == EOPNOTSUPP ? ENOTSUP : errno;
        return {};
    }
    UniqueFd dst(::openat(dstDir, dstName, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dst || ::fstat(dst.get(), &st) != 0) {
        err = errno;
        ::unlinkat(dstDir, dstName, 0);
        return {};
    }
    // The name lies in a folder others may write to: what was opened must be our own clone.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        err = EEXIST;
        return {};
    }
    // A file compressed by the file system keeps its data in attributes that clearing would
    // destroy; its bytes are copied instead (reading it gives the plain data).
    if (st.st_flags & UF_COMPRESSED) {
        ::unlinkat(dstDir, dstName, 0);
        err = ENOTSUP;
        return {};
    }
    return dst;
}

ssize_t copyFileRange(int, int, size_t) {
    errno = ENOSYS;  // no ranged in-kernel copy between descriptors here; clones cover APFS
    return -1;
}

bool clearCopiedMetadata(int fd) {
    // Flags first: an immutable or append-only flag would refuse every later change.
    if (::fchflags(fd, 0) != 0) return false;
    std::vector<char> names;
    if (!attributeNames(fd, names)) return false;
    // The quarantine attribute goes too: a quarantined plug-in would prompt in every host.
    for (size_t at = 0; at < names.size();) {
        const char* name = names.data() + at;
        if (::fremovexattr(fd, name, 0) != 0 && errno != ENOATTR) return false;
        at += std::strlen(name) + 1;
    }
    return true;
}

}  // namespace nimbara
