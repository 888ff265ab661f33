// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/path_walk.h"

namespace nimbara {

UniqueFd openBeneathByComponents(int dirFd, std::string_view relative, int flags, int& err) {
    UniqueFd current(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!current) {
        err = errno;
        return {};
    }
    while (!relative.empty()) {
        size_t slash = relative.find('/');
        std::string name(relative.substr(0, slash));
        relative =
            slash == std::string_view::npos ? std::string_view{} : relative.substr(slash + 1);
        if (name == "..") {  // never climb out
            err = EXDEV;
            return {};
        }
        int stepFlags = relative.empty() ? flags : kLookupFlags;
        UniqueFd next(::openat(current.get(), name.c_str(), stepFlags | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            err = errno;
            struct stat st;
            // O_NOFOLLOW | O_DIRECTORY reports a link as ENOTDIR; say what it really is.
            if (err == ENOTDIR &&
                ::fstatat(current.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                err = ELOOP;
            }
            return {};
        }
        current = std::move(next);
    }
    return current;
}

}  // namespace nimbara
