// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/path_walk.h"

namespace nimbara {

const int kLookupFlags = O_PATH | O_DIRECTORY;

namespace {

std::atomic<bool> haveOpenat2{true};

}  // namespace

UniqueFd openBeneath(int dirFd, std::string_view relative, int flags, int& err) {
    if (relative.empty()) relative = ".";
    if (haveOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        // RESOLVE_NO_SYMLINKS refuses links everywhere, the last component included, with ELOOP.
        how.flags = static_cast<__u64>((flags | O_CLOEXEC) & ~O_NOFOLLOW);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        std::string path(relative);
        for (int attempt = 0;; ++attempt) {
            long fd = ::syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
            if (fd >= 0) return UniqueFd(static_cast<int>(fd));
            // EAGAIN: a concurrent rename raced the lookup; a few retries settle it.
            if (errno == EINTR || (errno == EAGAIN && attempt < 16)) continue;
            // ENOSYS: an older kernel; EPERM: a system-call filter that does not know openat2.
            if (errno != ENOSYS && errno != EPERM) {
                err = errno;
                return {};
            }
            haveOpenat2.store(false, std::memory_order_relaxed);
            break;
        }
    }
    if (relative == ".") relative = {};
    return openBeneathByComponents(dirFd, relative, flags, err);
}

}  // namespace nimbara
