// SPDX-License-Identifier: Apache-2.0
// Listing folders through descriptors, for the tree walks of the operations: a directory stream
// that owns its descriptor, and the next entry other than "." and "..". Failures throw
// FsFailure. Stateless; any thread.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>

#include <memory>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"

namespace nimbara {

inline constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A directory stream that takes over `fd`; dirfd() of it stays usable for *at calls.
inline DirPtr listDirectory(UniqueFd fd, const std::string& path) {
    DIR* d = ::fdopendir(fd.get());
    if (!d) throw FsFailure("Cannot read folder", path, errno);
    fd.release();
    return DirPtr(d);
}

// The next entry other than "." and ".."; nullptr at the end.
inline const dirent* nextEntry(DIR* dir, const std::string& path) {
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            if (errno != 0) throw FsFailure("Cannot read folder", path, errno);
            return nullptr;
        }
        std::string_view n = e->d_name;
        if (n != "." && n != "..") return e;
    }
}

}  // namespace nimbara
