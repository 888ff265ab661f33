// SPDX-License-Identifier: Apache-2.0
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "base/unique_fd.h"
#include "operations/dir_listing.h"
#include "operations/progress_watch.h"
#include "operations/tree_items.h"
#include "operations/tree_walk.h"
#include "operations/trusted_folders.h"
#include "platform/credentials.h"

namespace nimbara {

using namespace tree_items;

TreeSize measureTree(const Caller& caller, int srcDir, const std::string& name,
                     const std::string& srcPath) {
    requireTrustedFileSystem(srcDir, "Cannot read", srcPath);
    const dev_t device = deviceOf(srcDir, srcPath);
    CallerIdentityScope as(caller);
    struct stat st;
    if (::fstatat(srcDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail("Cannot read", srcPath);
    requireDevice(st, device, srcPath);
    TreeSize total{allocatedBytes(st), 1};
    if (!S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            fail("Cannot copy", srcPath, kNotCopyable);
        }
        return total;
    }
    struct Level {
        DirPtr listing;
        std::string path;
    };
    std::vector<Level> levels;
    UniqueFd top(::openat(srcDir, name.c_str(), kDirFlags | O_NONBLOCK));
    if (!top) fail("Cannot open", srcPath);
    levels.push_back({listDirectory(std::move(top), srcPath), srcPath});
    while (!levels.empty()) {
        Level& level = levels.back();
        const dirent* e = nextEntry(level.listing.get(), level.path);
        if (!e) {
            levels.pop_back();
            continue;
        }
        std::string path = level.path + "/" + e->d_name;
        checkStop(path);
        int dir = ::dirfd(level.listing.get());
        if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot read", path);
        requireDevice(st, device, path);
        total.bytes += allocatedBytes(st);
        ++total.items;
        if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) continue;
        if (!S_ISDIR(st.st_mode)) fail("Cannot copy", path, kNotCopyable);
        if (levels.size() >= kMaxCopyDepth) fail("Cannot copy", path, tooDeep());
        UniqueFd sub(::openat(dir, e->d_name, kDirFlags | O_NONBLOCK));
        if (!sub) fail("Cannot open", path);
        levels.push_back({listDirectory(std::move(sub), path), std::move(path)});
    }
    return total;
}

}  // namespace nimbara
