// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>

#include <string>

#include "platform/path_walk.h"

namespace nimbara {

// O_SEARCH: the folder is opened for lookups only, so search permission is enough.
const int kLookupFlags = O_SEARCH | O_DIRECTORY;

namespace {

// O_NOFOLLOW_ANY refuses a link anywhere on the way but not a climb: the path must stay below.
bool staysBeneath(std::string_view relative) {
    if (!relative.empty() && relative.front() == '/') return false;
    while (!relative.empty()) {
        size_t slash = relative.find('/');
        if (relative.substr(0, slash) == "..") return false;
        relative =
            slash == std::string_view::npos ? std::string_view{} : relative.substr(slash + 1);
    }
    return true;
}

}  // namespace

UniqueFd openBeneath(int dirFd, std::string_view relative, int flags, int& err) {
    if (!staysBeneath(relative)) {
        err = EXDEV;
        return {};
    }
    std::string path = relative.empty() ? std::string(".") : std::string(relative);
    // O_NOFOLLOW_ANY and O_NOFOLLOW together are refused with EINVAL; the former covers both.
    int oneCall = ((flags | O_CLOEXEC) & ~O_NOFOLLOW) | O_NOFOLLOW_ANY;
    for (;;) {
        int fd = ::openat(dirFd, path.c_str(), oneCall);
        if (fd >= 0) return UniqueFd(fd);
        if (errno == EINTR) continue;
        // EINVAL or ENOTSUP: a kernel or file system without O_NOFOLLOW_ANY; walk instead.
        if (errno != EINVAL && errno != ENOTSUP) {
            err = errno;  // ELOOP for a link anywhere on the way, as the walk reports it
            return {};
        }
        break;
    }
    return openBeneathByComponents(dirFd, relative, flags, err);
}

}  // namespace nimbara
