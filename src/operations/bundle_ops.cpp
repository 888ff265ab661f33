#include "operations/bundle_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"
#include "platform/file_copy.h"
#include "platform/path_walk.h"
#include "platform/random_bytes.h"

namespace nimbara {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr mode_t kFolderMode = 0755;

// An item named by its parent folder's descriptor and its name in that folder.
struct Location {
    UniqueFd parent;
    std::string name;
};

std::string_view relativeTo(const AnchoredPath& p) {
    std::string_view rest(p.path);
    rest.remove_prefix(p.root.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return rest;
}

std::string parentOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? "/" : std::string(path.substr(0, slash));
}

// Opens a folder named by a trusted absolute path (an allowed root or one of its ancestors),
// creating it and what is missing above it when asked. Such a path may be a link an
// administrator made; only what lies below the roots is walked without following links.
UniqueFd openTrusted(const std::string& path, bool create, int& err) {
    UniqueFd fd(::open(path.c_str(), kDirFlags));
    if (fd || errno != ENOENT || !create || path == "/") {
        if (!fd) err = errno;
        return fd;
    }
    UniqueFd parent = openTrusted(parentOf(path), true, err);
    if (!parent) return {};
    if (::mkdir(path.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        err = errno;
        return {};
    }
    fd.reset(::open(path.c_str(), kDirFlags));
    if (!fd) err = errno;
    return fd;
}

// Outcome of reaching the folder an item lies in.
struct Reached {
    Location location;
    int err = 0;                // 0 when location is usable
    bool createFailed = false;  // a folder could not be made (rather than opened)
};

// Reaches the parent of `target`; creates missing folders on the way when `create` is set.
Reached reachParent(const AnchoredPath& target, bool create) {
    Reached r;
    std::string_view rest = relativeTo(target);
    if (rest.empty()) {  // the root itself: its parent is trusted too
        r.location.parent = openTrusted(parentOf(target.root), create, r.err);
        r.location.name = target.root.substr(target.root.rfind('/') + 1);
        r.createFailed = !r.location.parent && create && r.err != ENOTDIR;
        return r;
    }
    size_t slash = rest.rfind('/');
    r.location.name = std::string(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
    std::string_view folders = slash == std::string_view::npos ? "" : rest.substr(0, slash);
    UniqueFd current = openTrusted(target.root, create, r.err);
    if (!current) {
        r.createFailed = create && r.err != ENOTDIR;
        return r;
    }
    if (!create) {
        r.location.parent = openBeneath(current.get(), folders, kDirFlags, r.err);
        return r;
    }
    while (!folders.empty()) {
        size_t next = folders.find('/');
        std::string name(folders.substr(0, next));
        folders = next == std::string_view::npos ? "" : folders.substr(next + 1);
        if (::mkdirat(current.get(), name.c_str(), kFolderMode) != 0 && errno != EEXIST) {
            r.err = errno;
            r.createFailed = true;
            return r;
        }
        // Whatever stands there must be a real folder: a link or a file stops the walk.
        UniqueFd child(::openat(current.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
        if (!child) {
            r.err = errno;
            return r;
        }
        current = std::move(child);
    }
    r.location.parent = std::move(current);
    return r;
}

// "An item exists" follows a final link: a dangling link counts as absent.
bool exists(const Location& at) {
    struct stat st;
    return ::fstatat(at.parent.get(), at.name.c_str(), &st, 0) == 0;
}

std::string hiddenSiblingName(const std::string& name) {
    unsigned char random[6];
    if (!fillRandomBytes(random, sizeof random)) {
        for (auto& b : random) b = static_cast<unsigned char>(::rand());
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%02x%02x%02x%02x%02x%02x", random[0], random[1],
                  random[2], random[3], random[4], random[5]);
    std::string base = name.substr(0, 200);
    return "." + base + ".nimbara-" + suffix;
}

[[noreturn]] void copyFailed(const std::string& message) {
    throw OperationError(OperationError::Kind::copyFailed, message);
}

}  // namespace

void copyBundle(const Caller& caller, const AnchoredPath& source, const AnchoredPath& dest) {
    (void)caller;
    Reached to = reachParent(dest, /*create=*/true);
    if (!to.location.parent) {
        std::string reason = fsReason("Cannot create folder", parentOf(dest.path), to.err);
        if (to.createFailed) copyFailed("Failed to create parent dir: " + reason);
        copyFailed(reason);
    }
    if (to.location.name == ".") copyFailed(fsReason("Cannot replace", dest.path, EINVAL));
    Reached from = reachParent(source, /*create=*/false);
    if (!from.location.parent || from.location.name == ".") {
        copyFailed(fsReason("Cannot read", source.path, from.err ? from.err : EINVAL));
    }

    const Location& target = to.location;
    const int fd = target.parent.get();
    // The copy is built under a hidden name beside the destination, which it replaces only
    // when complete.
    std::string staged = hiddenSiblingName(target.name);
    auto discardStaged = [&] {
        try {
            removeTree(fd, staged, dest.path);
        } catch (const FsFailure&) {
        }
    };
    try {
        copyTree(from.location.parent.get(), from.location.name, fd, staged, source.path,
                 dest.path);
    } catch (const FsFailure& failure) {
        discardStaged();
        copyFailed(failure.what());
    }

    if (!exists(target)) {
        if (renameNoReplace(fd, staged.c_str(), fd, target.name.c_str()) != 0) {
            int err = errno;
            discardStaged();
            copyFailed(fsReason("Cannot put the copy at", dest.path, err));
        }
        return;
    }
    // Swap the complete copy with the old item in one step, then remove the old one.
    if (renameSwap(fd, staged.c_str(), fd, target.name.c_str()) != 0) {
        int err = errno;
        discardStaged();
        copyFailed("Failed to remove existing dest: " + fsReason("Cannot replace", dest.path, err));
    }
    try {
        removeTree(fd, staged, dest.path);
    } catch (const FsFailure& failure) {
        copyFailed("Failed to remove existing dest: " + std::string(failure.what()));
    }
}

void removeBundle(const Caller& caller, const AnchoredPath& path) {
    (void)caller;
    Reached at = reachParent(path, /*create=*/false);
    if (!at.location.parent) {
        if (at.err == ENOENT || at.err == ENOTDIR) return;  // nothing can be there
        throw OperationError(OperationError::Kind::removeFailed,
                             fsReason("Cannot reach", path.path, at.err));
    }
    if (at.location.name == ".") {
        throw OperationError(OperationError::Kind::removeFailed,
                             fsReason("Cannot remove", path.path, EINVAL));
    }
    if (!exists(at.location)) return;
    try {
        removeTree(at.location.parent.get(), at.location.name, path.path);
    } catch (const FsFailure& failure) {
        throw OperationError(OperationError::Kind::removeFailed, failure.what());
    }
}

void mkdirp(const Caller& caller, const AnchoredPath& path) {
    (void)caller;
    Reached at = reachParent(path, /*create=*/true);
    int err = at.err;
    if (at.location.parent) {
        const char* name = at.location.name.c_str();
        if (::mkdirat(at.location.parent.get(), name, kFolderMode) == 0) return;
        err = errno;
        struct stat st;
        if (err == EEXIST &&
            ::fstatat(at.location.parent.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode)) {
            return;
        }
        if (err == EEXIST) err = ENOTDIR;
    }
    throw OperationError(OperationError::Kind::mkdirFailed,
                         fsReason("Cannot create folder", path.path, err));
}

}  // namespace nimbara
