// SPDX-License-Identifier: Apache-2.0
#include "operations/trusted_folders.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "operations/dir_listing.h"
#include "platform/credentials.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kMaxLinksFollowed = 8;

// Write access for someone other than the owner: others, or a group whose members are not all
// administrators already.
std::string foreignWriters(const struct stat& st) {
    if (st.st_mode & S_IWOTH) return "writable by others";
    if ((st.st_mode & S_IWGRP) && !isAdministratorGroup(st.st_gid)) {
        return "writable by group " + std::to_string(st.st_gid);
    }
    return "";
}

std::string ownerText(const struct stat& st, const std::string& path) {
    return path + " is owned by uid " + std::to_string(st.st_uid);
}

// Opens `name` in `dir` as a folder; a link or a non-folder is reported as such.
UniqueFd openFolder(int dir, const std::string& name, int& err) {
    UniqueFd fd(::openat(dir, name.c_str(), kDirFlags));
    if (fd) return fd;
    err = errno;
    struct stat st;
    // O_NOFOLLOW | O_DIRECTORY reports a link as ENOTDIR; say what it really is.
    if (err == ENOTDIR && ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        err = ELOOP;
    }
    return fd;
}

std::string_view nextComponent(std::string_view& rest) {
    size_t slash = rest.find('/');
    std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    return name;
}

// The text of the link `name` in `dir` when root owns it, else "".
std::string rootsLinkTarget(int dir, const std::string& name) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||
        st.st_uid != 0) {
        return "";
    }
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return "";
    target.resize(static_cast<size_t>(n));
    return target;
}

// `target`'s components without empty and "." ones, then those of `rest`, joined by '/'.
std::string joinComponents(std::string_view target, const std::string& rest) {
    std::string joined;
    while (!target.empty()) {
        std::string_view name = nextComponent(target);
        if (name.empty() || name == ".") continue;
        joined.append(joined.empty() ? "" : "/").append(name);
    }
    if (!rest.empty()) joined.append(joined.empty() ? "" : "/").append(rest);
    return joined;
}

// Follows `name` in `current` when it is a link of root's: its text takes the name's place in
// `rest`, and the walk goes on from "/" (with `reached` emptied) for an absolute one. False
// when it is not such a link.
bool followRootsLink(UniqueFd& current, const std::string& name, std::string& rest,
                     std::string& reached) {
    std::string target = rootsLinkTarget(current.get(), name);
    if (target.empty()) return false;
    rest = joinComponents(target, rest);
    if (target.front() == '/') {
        current.reset(::open("/", kDirFlags));
        if (!current) throw WalkFailure(fsReason("Cannot open", "/", errno), errno, false);
        reached.clear();
    }
    return true;
}

}  // namespace

std::string distrustBelowRoot(const struct stat& st, const std::string& path,
                              const Caller& caller) {
    std::string writers = foreignWriters(st);
    bool ownerOk = st.st_uid == 0 || st.st_uid == caller.uid;
    if (ownerOk && writers.empty()) return "";
    return ownerText(st, path) + (writers.empty() ? "" : " and " + writers);
}

int verifyNewFolder(int fd, mode_t mode) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777 & ~mode) != 0) {
        return EEXIST;
    }
    UniqueFd listing(::openat(fd, ".", kDirFlags));
    if (!listing) return errno;
    DirPtr dir = listDirectory(std::move(listing), ".");
    return nextEntry(dir.get(), ".") == nullptr ? 0 : EEXIST;
}

int makeFolder(int dir, const char* name, mode_t mode) {
    if (::mkdirat(dir, name, mode) != 0) return errno;
    UniqueFd fd(::openat(dir, name, kDirFlags));
    if (!fd) return errno;
    // The name was looked up again: in a folder others can write, another folder may have been
    // swapped in meanwhile. Only the new one is changed; anything else is treated as found there.
    try {
        if (int err = verifyNewFolder(fd.get(), mode)) return err;
    } catch (const FsFailure&) {
        return EEXIST;
    }
    if (int err = dropInheritedAccess(fd.get())) return err;
    return ::fchmod(fd.get(), mode) == 0 ? 0 : errno;
}

UniqueFd openTrustedFolder(const std::string& path, bool create, mode_t mode, LinksOnTheWay links) {
    UniqueFd current(::open("/", kDirFlags));
    if (!current) throw WalkFailure(fsReason("Cannot open", "/", errno), errno, false);
    std::string rest = path.substr(1);  // a followed link's text takes its name's place here
    std::string reached;
    int followed = 0;
    struct stat st;
    while (true) {
        // Every folder on the way must be one only root can change. A root-owned sticky folder
        // (such as /tmp) qualifies too: no one else can move or replace what root owns in it.
        if (::fstat(current.get(), &st) != 0) {
            throw WalkFailure(fsReason("Cannot open", reached, errno), errno, false);
        }
        bool last = rest.empty();
        bool sticky = (st.st_mode & S_ISVTX) != 0;
        std::string shown = reached.empty() ? "/" : reached;
        if (st.st_uid != 0 || (!last && !sticky && !foreignWriters(st).empty())) {
            std::string writers = foreignWriters(st);
            throw WalkFailure(
                ownerText(st, shown) + (writers.empty() || last ? "" : " and " + writers), EACCES,
                false);
        }
        if (last) return current;
        std::string_view view(rest);
        std::string name(nextComponent(view));
        std::string after(view);
        int err = 0;
        UniqueFd next = openFolder(current.get(), name, err);
        // Only root can have made or changed a link of root's in a folder that no one else may
        // write. A sticky folder others may write does not qualify: anyone can put a link of
        // root's there (one the helper copied into a plug-in folder, moved or linked over).
        if (!next && err == ELOOP && links == LinksOnTheWay::rootsAllowed &&
            foreignWriters(st).empty() && ++followed <= kMaxLinksFollowed &&
            followRootsLink(current, name, after, reached)) {
            rest = std::move(after);
            continue;
        }
        rest = std::move(after);
        reached += "/" + name;
        if (!next && err == ENOENT && create) {
            err = makeFolder(current.get(), name.c_str(), rest.empty() ? mode : 0755);
            if (err != 0 && err != EEXIST) {
                throw WalkFailure(fsReason("Cannot create folder", reached, err), err, true);
            }
            next = openFolder(current.get(), name, err);
        }
        if (!next) throw WalkFailure(fsReason("Cannot open", reached, err), err, err == ENOENT);
        current = std::move(next);
    }
}

UniqueFd walkBelowRoot(int rootFd, const std::string& rootPath, std::string_view folders,
                       const Caller& caller, bool create) {
    UniqueFd current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!current) throw WalkFailure(fsReason("Cannot open", rootPath, errno), errno, false);
    std::string reached = rootPath;
    while (!folders.empty()) {
        std::string name(nextComponent(folders));
        bool last = folders.empty();
        reached += "/" + name;
        int err = 0;
        UniqueFd next = openFolder(current.get(), name, err);
        if (!next && err == ENOENT && create) {
            err = makeFolder(current.get(), name.c_str(), 0755);
            if (err != 0 && err != EEXIST) {
                throw WalkFailure(fsReason("Cannot create folder", reached, err), err, true);
            }
            next = openFolder(current.get(), name, err);
        }
        if (!next) {
            // Only the last folder can be "there but not a folder"; an obstacle higher up means
            // the last one is missing and cannot be made.
            bool missing = !last || (err != ENOTDIR && err != ELOOP);
            std::string what = create ? "Cannot create folder" : "Cannot reach";
            throw WalkFailure(fsReason(what, reached, err), err, missing);
        }
        struct stat st;
        if (::fstat(next.get(), &st) != 0) {
            throw WalkFailure(fsReason("Cannot open", reached, errno), errno, false);
        }
        if (std::string why = distrustBelowRoot(st, reached, caller); !why.empty()) {
            throw WalkFailure(why, EACCES, false);
        }
        current = std::move(next);
    }
    return current;
}

}  // namespace nimbara
