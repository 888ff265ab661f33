// SPDX-License-Identifier: Apache-2.0
#include "operations/bundle_ops.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <system_error>

#include "base/sys.h"
#include "base/unique_fd.h"
#include "operations/progress_watch.h"
#include "operations/tree_remove.h"
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

// An item is there, whatever it is: a link counts as itself, never as its target. Throws
// FsFailure when the file system cannot tell (an item it cannot see may still be there).
bool exists(const Location& at) {
    struct stat st;
    if (::fstatat(at.parent.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    if (errno == ENOENT) return false;
    throw FsFailure("Cannot read", at.parentPath + "/" + at.name, errno);
}

// A plug-in folder itself is never removed or replaced: it would take every user's plug-ins
// with it, and could become a link.
std::string plugInFolder(const char* what, const std::string& root) {
    return std::string(what) + " " + root + ": it is a plug-in folder";
}

[[noreturn]] void copyFailed(const std::string& message) {
    throw OperationError(OperationError::Kind::copyFailed, message);
}

[[noreturn]] void removeFailed(const std::string& message) {
    throw OperationError(OperationError::Kind::removeFailed, message);
}

// Space and inodes on `fd`'s file system that unprivileged users may still fill; what cannot
// be known is unbounded here, and the copy finds out.
TreeSize available(int fd) {
    FreeSpace free = freeSpace(fd);
    return {free.bytes, free.inodes};
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

// The complete copy under its hidden name, and the names it goes by.
struct StagedCopy {
    std::string name;
    std::string path;
    std::string destPath;
};

// The swap reaches the disk before the record forgets the hidden name: a power cut in between
// leaves a recorded leftover, never one no one knows of (`forget` false: the record keeps it for
// the next start). Returns `warning`, with what failed when the folder cannot be flushed (the copy
// is in place, but may not survive a power cut).
std::string settleSwap(int fd, const StagedCopy& copy, StagingJournal& journal,
                       std::string warning = "", bool forget = true) {
    if (int err = flushFolder(fd)) {
        if (!warning.empty()) warning += "; ";
        warning += fsReason("The copy may not survive a power cut: cannot flush",
                            parentOf(copy.destPath), err);
    }
    if (forget) journal.remove(copy.path);
    return warning;
}

// Puts the complete copy at the target's name. An item there is swapped out in one step, its
// owner checked once more (the moment of change), then removed. Returns a warning to log when
// the swapped-out item stays.
std::string putInPlace(const Caller& caller, const Location& target, const StagedCopy& copy,
                       StagingJournal& journal, const std::function<void()>& discardStaged) {
    const int fd = target.parent.get();
    int err = renameNoReplace(fd, copy.name.c_str(), target.name.c_str());
    if (err == 0) return settleSwap(fd, copy, journal);
    if (err != EEXIST) {
        discardStaged();
        copyFailed(fsReason("Cannot put the copy at", copy.destPath, err));
    }
    if ((err = renameExchange(fd, copy.name.c_str(), target.name.c_str())) != 0) {
        discardStaged();
        copyFailed("Failed to remove existing dest: " +
                   fsReason("Cannot replace", copy.destPath, err));
    }
    struct stat old;
    if (::fstatat(fd, copy.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        int err = errno;
        if (err == ENOENT) return settleSwap(fd, copy, journal);  // moved away by someone
        // Whose it is cannot be told: it stays, recorded, for the next start to judge.
        return settleSwap(fd, copy, journal,
                          "Left the replaced item " + copy.path +
                              " for the next start: " + fsReason("Cannot read", copy.path, err),
                          /*forget=*/false);
    }
    if (caller.uid != 0 && old.st_uid != 0 && old.st_uid != caller.uid) {
        // Put in place of the destination while the copy was made: it goes back.
        std::string whose = copy.destPath + " is owned by uid " + std::to_string(old.st_uid);
        if ((err = renameExchange(fd, copy.name.c_str(), target.name.c_str())) != 0) {
            journal.remove(copy.path);  // not the helper's to remove
            copyFailed(whose + "; it could not be put back (" + errnoText(err) + ") and is at " +
                       copy.path);
        }
        discardStaged();
        copyFailed(whose);
    }
    try {
        removeTree(fd, copy.name, copy.path, caller.uid);
    } catch (const FsFailure& failure) {
        if (old.st_uid == 0) {
            return settleSwap(
                fd, copy, journal,
                "Left the replaced item " + copy.path + " for the next start: " + failure.what(),
                /*forget=*/false);
        }
        // The record holds only what is the helper's to remove.
        return settleSwap(fd, copy, journal,
                          "Left the replaced item " + copy.path + " of uid " +
                              std::to_string(old.st_uid) + " in place: " + failure.what());
    }
    return settleSwap(fd, copy, journal);
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
    if (dest.path == dest.root) copyFailed(plugInFolder("Cannot replace", dest.root));
    if (target.name == ".") copyFailed(fsReason("Cannot replace", dest.path, EINVAL));
    // Another user's item, at any depth, is theirs to remove or replace: nothing is copied.
    try {
        if (exists(target))
            checkOwnersBelow(target.parent.get(), target.name, dest.path, caller.uid);
    } catch (const FsFailure& failure) {
        copyFailed(failure.what());
    }
    Location from = reachSource(caller, source);

    const int fd = target.parent.get();
    const std::string staged = stagedNameFor(target.name);
    const std::string stagedPath = target.parentPath + "/" + staged;
    try {
        TreeSize needed = measureTree(caller, from.parent.get(), from.name, source.path);
        TreeSize free = available(fd);
        if (needed.bytes > free.bytes) {
            copyFailed(source.path + " needs " + std::to_string(needed.bytes) +
                       " bytes, but only " + std::to_string(free.bytes) + " are available at " +
                       target.parentPath);
        }
        if (needed.items > free.items) {
            copyFailed(source.path + " needs " + std::to_string(needed.items) +
                       " inodes, but only " + std::to_string(free.items) + " are available at " +
                       target.parentPath);
        }
        journal.add({caller.uid, dest.root, stagedPath});
        noteCopyTotal(needed.bytes);
    } catch (const std::system_error& e) {
        copyFailed(fsReason("Cannot read", source.path, e.code().value()));
    } catch (const FsFailure& failure) {
        copyFailed(failure.what());
    }
    // The copy is built under a hidden name beside the destination, which it replaces only
    // when complete.
    auto discardStaged = [&] {
        struct stat st;
        if (::fstatat(fd, staged.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
            journal.remove(stagedPath);  // failed before anything was staged
            return;
        }
        try {
            removeTree(fd, staged, stagedPath, caller.uid);
            journal.remove(stagedPath);
        } catch (const FsFailure&) {  // left in the journal for the next start
        }
    };
    try {
        copyTree(caller, from.parent.get(), from.name, fd, staged, source.path, dest.path,
                 available(fd).bytes);
    } catch (const FsFailure& failure) {
        discardStaged();
        copyFailed(failure.what());
    } catch (const std::system_error& e) {
        discardStaged();
        copyFailed(fsReason("Cannot read", source.path, e.code().value()));
    }
    // The staged tree reaches the disk before the swap: after a power cut the destination is
    // then the old item or the complete copy, never one with empty or short files.
    if (int err = flushBeforeSwap(fd)) {
        discardStaged();
        copyFailed(fsReason("Cannot flush", stagedPath, err));
    }
    return putInPlace(caller, target, {staged, stagedPath, dest.path}, journal, discardStaged);
}

void removeBundle(const Caller& caller, const AnchoredPath& path, StagingJournal* journal) {
    if (path.path == path.root) removeFailed(plugInFolder("Cannot remove", path.root));
    Location at;
    try {
        at = reachParent(path, caller, /*create=*/false);
    } catch (const WalkFailure& failure) {
        if (failure.err == ENOENT || failure.err == ENOTDIR) return;  // nothing can be there
        removeFailed(failure.err == EACCES ? std::string(failure.what())
                                           : fsReason("Cannot reach", path.path, failure.err));
    }
    if (at.name == ".") removeFailed(fsReason("Cannot remove", path.path, EINVAL));
    try {
        if (!exists(at)) return;
        removeTree(at.parent.get(), at.name, path.path, caller.uid);
    } catch (const FsFailure& failure) {
        removeFailed(failure.what());
    }
    if (journal) journal->remove(path.path);  // a leftover removed by request counts no more
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
        if (stopRequested()) return;  // the rest waits for the next start
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
                removeTree(at.parent.get(), at.name, path, entry.caller);
                report("Removed leftover " + path);
            }
            journal.remove(path);
        } catch (const ForeignItem& foreign) {
            // Not what the copy left: whoever owns it keeps it.
            report("Left " + path + " in place: " + foreign.what());
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
