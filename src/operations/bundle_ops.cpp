#include "operations/bundle_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <system_error>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"
#include "operations/trusted_folders.h"
#include "platform/credentials.h"
#include "platform/file_system.h"
#include "platform/path_walk.h"

namespace nimbara {
namespace {

constexpr mode_t kFolderMode = 0755;
constexpr const char* kStopping = "the helper is stopping";

// An item named by its parent folder's descriptor and its name in that folder.
struct Location {
    UniqueFd parent;
    std::string name;
    std::string parentPath;
};

std::string parentOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? "/" : std::string(path.substr(0, slash));
}

std::string lastComponent(std::string_view path) {
    return std::string(path.substr(path.rfind('/') + 1));
}

// Reaches the folder that holds `target`, trusting each folder on the way for `caller`;
// creates missing folders when `create` is set. Throws WalkFailure.
Location reachParent(const AnchoredPath& target, const Caller& caller, bool create) {
    std::string_view rest(target.path);
    rest.remove_prefix(target.root.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) {  // the root itself: its parent is one of the trusted ancestors
        return {openTrustedFolder(parentOf(target.root), create), lastComponent(target.root),
                parentOf(target.root)};
    }
    size_t slash = rest.rfind('/');
    std::string_view folders = slash == std::string_view::npos ? "" : rest.substr(0, slash);
    UniqueFd root = openTrustedFolder(target.root, create);
    return {walkBelowRoot(root.get(), target.root, folders, caller, create),
            lastComponent(target.path), parentOf(target.path)};
}

// An item is there, whatever it is: a link counts as itself, never as its target.
bool exists(const Location& at) {
    struct stat st;
    return ::fstatat(at.parent.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

[[noreturn]] void copyFailed(const std::string& message) {
    throw OperationError(OperationError::Kind::copyFailed, message);
}

[[noreturn]] void removeFailed(const std::string& message) {
    throw OperationError(OperationError::Kind::removeFailed, message);
}

// Space on `fd`'s file system that unprivileged users may still fill.
uint64_t availableBytes(int fd) {
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0) return UINT64_MAX;  // unknown: let the copy find out
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// The folder that holds the copy source, reached below /Users as the caller, so that no link
// on the way is followed and nothing the caller could not reach is read.
Location reachSource(const Caller& caller, const AnchoredPath& source) {
    Location at{{}, lastComponent(source.path), parentOf(source.path)};
    UniqueFd users;
    try {
        users = openTrustedFolder(source.root, false);
    } catch (const WalkFailure& failure) {
        copyFailed(failure.what());
    }
    std::string_view folders(at.parentPath);
    folders.remove_prefix(std::min(folders.size(), source.root.size()));
    while (!folders.empty() && folders.front() == '/') folders.remove_prefix(1);
    int err = 0;
    try {
        CallerIdentityScope as(caller);
        at.parent = openBeneath(users.get(), folders, kLookupFlags, err);
    } catch (const std::system_error& e) {
        err = e.code().value();
    }
    if (!at.parent || at.name == ".") {
        copyFailed(fsReason("Cannot read", source.path, at.parent ? EINVAL : err));
    }
    return at;
}

}  // namespace

std::string copyBundle(const Caller& caller, const AnchoredPath& source, const AnchoredPath& dest,
                       StagingJournal& journal) {
    if (stopRequested()) copyFailed(kStopping);
    Location target;
    try {
        target = reachParent(dest, caller, /*create=*/true);
    } catch (const WalkFailure& failure) {
        copyFailed(failure.missing ? "Failed to create parent dir: " + std::string(failure.what())
                                   : failure.what());
    }
    if (target.name == ".") copyFailed(fsReason("Cannot replace", dest.path, EINVAL));
    Location from = reachSource(caller, source);

    const int fd = target.parent.get();
    const std::string staged = stagedNameFor(target.name);
    const std::string stagedPath = target.parentPath + "/" + staged;
    try {
        uint64_t needed = measureTree(caller, from.parent.get(), from.name, source.path);
        uint64_t available = availableBytes(fd);
        if (needed > available) {
            copyFailed(source.path + " needs " + std::to_string(needed) + " bytes, but only " +
                       std::to_string(available) + " are available at " + target.parentPath);
        }
        journal.add({caller.uid, dest.root, stagedPath});
    } catch (const std::system_error& e) {
        copyFailed(fsReason("Cannot read", source.path, e.code().value()));
    } catch (const FsFailure& failure) {
        copyFailed(failure.what());
    }
    // The copy is built under a hidden name beside the destination, which it replaces only
    // when complete.
    auto discardStaged = [&] {
        try {
            removeTree(fd, staged, stagedPath);
            journal.remove(stagedPath);
        } catch (const FsFailure&) {  // left in the journal for the next start
        }
    };
    try {
        copyTree(caller, from.parent.get(), from.name, fd, staged, source.path, dest.path,
                 availableBytes(fd));
    } catch (const FsFailure& failure) {
        discardStaged();
        copyFailed(failure.what());
    } catch (const std::system_error& e) {
        discardStaged();
        copyFailed(fsReason("Cannot read", source.path, e.code().value()));
    }

    if (!exists(target)) {
        if (int err = renameNoReplace(fd, staged.c_str(), target.name.c_str())) {
            discardStaged();
            copyFailed(fsReason("Cannot put the copy at", dest.path, err));
        }
        journal.remove(stagedPath);
        return "";
    }
    // Swap the complete copy with the old item in one step; from here on the copy has succeeded.
    if (int err = renameExchange(fd, staged.c_str(), target.name.c_str())) {
        discardStaged();
        copyFailed("Failed to remove existing dest: " + fsReason("Cannot replace", dest.path, err));
    }
    try {
        removeTree(fd, staged, stagedPath);
    } catch (const FsFailure& failure) {
        return "Left the replaced item " + stagedPath + " for the next start: " + failure.what();
    }
    journal.remove(stagedPath);
    return "";
}

void removeBundle(const Caller& caller, const AnchoredPath& path) {
    Location at;
    try {
        at = reachParent(path, caller, /*create=*/false);
    } catch (const WalkFailure& failure) {
        if (failure.err == ENOENT || failure.err == ENOTDIR) return;  // nothing can be there
        removeFailed(failure.err == EACCES ? std::string(failure.what())
                                           : fsReason("Cannot reach", path.path, failure.err));
    }
    if (at.name == ".") removeFailed(fsReason("Cannot remove", path.path, EINVAL));
    if (!exists(at)) return;
    try {
        removeTree(at.parent.get(), at.name, path.path);
    } catch (const FsFailure& failure) {
        removeFailed(failure.what());
    }
}

void mkdirp(const Caller& caller, const AnchoredPath& path) {
    auto fail = [&](const std::string& reason) {
        throw OperationError(OperationError::Kind::mkdirFailed, reason);
    };
    Location at;
    try {
        at = reachParent(path, caller, /*create=*/true);
    } catch (const WalkFailure& failure) {
        fail(failure.what());
    }
    int err = makeFolder(at.parent.get(), at.name.c_str(), kFolderMode);
    if (err == 0) return;
    struct stat st;
    if (err == EEXIST &&
        ::fstatat(at.parent.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode)) {
        // A folder already there is used only if no one but root or the caller controls it; a
        // root itself only has to belong to root.
        std::string why = path.path != path.root ? distrustBelowRoot(st, path.path, caller)
                          : st.st_uid == 0
                              ? ""
                              : path.path + " is owned by uid " + std::to_string(st.st_uid);
        if (why.empty()) return;
        fail(why);
    }
    if (err == EEXIST) err = ENOTDIR;
    fail(fsReason("Cannot create folder", path.path, err));
}

void sweepLeftovers(StagingJournal& journal,
                    const std::function<void(const std::string&)>& report) {
    const std::vector<StagingJournal::Entry> entries = journal.entries();
    for (const auto& entry : entries) {
        const std::string& path = entry.path;
        bool plausible = path.size() > entry.root.size() + 1 &&
                         path.compare(0, entry.root.size() + 1, entry.root + "/") == 0 &&
                         isStagedName(lastComponent(path));
        if (!plausible) {
            journal.remove(path);
            continue;
        }
        try {
            Location at = reachParent({entry.root, path}, Caller{entry.caller, 0, {}}, false);
            if (exists(at)) {
                removeTree(at.parent.get(), at.name, path);
                report("Removed leftover " + path);
            }
            journal.remove(path);
        } catch (const WalkFailure& failure) {
            if (failure.err == ENOENT) {
                journal.remove(path);
            } else {
                report("Cannot remove leftover " + path + ": " + failure.what());
            }
        } catch (const FsFailure& failure) {
            report("Cannot remove leftover " + path + ": " + failure.what());
        }
    }
}

}  // namespace nimbara
