// SPDX-License-Identifier: Apache-2.0
#include "operations/tree_remove.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "operations/dir_listing.h"
#include "operations/progress_watch.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

constexpr size_t kHeldLevels = 32;  // folders a removal keeps open; deeper ones are reopened

[[noreturn]] void fail(const std::string& what, const std::string& path, int err = errno) {
    throw FsFailure(what, path, err);
}

// Unlinks the non-folder `name` in `dir`: 0 or an errno value. A file of the helper's that a
// flag keeps (immutable or append-only, as a clone carries it over from its source) has the
// flag cleared and goes.
int unlinkItem(int dir, const char* name) {
    if (::unlinkat(dir, name, 0) == 0) return 0;
    int err = errno;
    if (err != EPERM || clearRemovalFlags(dir, name) != 0) return err;
    return ::unlinkat(dir, name, 0) == 0 ? 0 : errno;
}

// One folder on the way down a removal. Only the deepest kHeldLevels keep their listing open;
// a folder above them is reopened through ".." and must be the one that was left.
struct RemoveLevel {
    std::string name;
    dev_t dev;
    ino_t ino;
    size_t pathLength;  // of the removal's path text up to and including this folder
    DirPtr listing;
    bool retried;  // emptied a second time already
    // A scan that reopened this folder goes on after the subfolder it came back from: nothing
    // was removed, so the new listing starts with entries already seen.
    std::string resumeAfter = {};
};

// Walks a tree depth first, either only looking at every item's owner (`scanOnly`) or removing
// every item on the way up.
class TreeRemover {
  public:
    TreeRemover(int dir, const std::string& path, uid_t caller, bool scanOnly)
        : dir_(dir), path_(path), caller_(caller), scanOnly_(scanOnly) {}

    void run(const std::string& name) {
        struct stat parentSt, st;
        if (::fstat(dir_, &parentSt) != 0 ||
            ::fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail("Cannot remove", path_);
        }
        // Everything removed lies on the parent's file system: a mount point is never entered.
        device_ = parentSt.st_dev;
        checkOwner(st, path_);
        if (st.st_dev != device_) {
            if (scanOnly_) return;
            fail("Cannot remove", path_, EXDEV);
        }
        if (!S_ISDIR(st.st_mode)) {
            if (int err = scanOnly_ ? 0 : unlinkItem(dir_, name.c_str())) {
                fail("Cannot remove", path_, err);
            }
            return;
        }
        current_ = path_;
        if (auto top = enter(dir_, name.c_str())) levels_.push_back(std::move(*top));
        while (!levels_.empty()) step();
    }

  private:
    void checkOwner(const struct stat& st, const std::string& path) const {
        if (caller_ == 0 || st.st_uid == 0 || st.st_uid == caller_) return;
        throw ForeignItem(path, st.st_uid);
    }

    void step() {
        RemoveLevel& top = levels_.back();
        current_.resize(top.pathLength);
        int topFd = ::dirfd(top.listing.get());
        const dirent* e = nextEntry(top.listing.get(), current_);
        if (!top.resumeAfter.empty()) {
            if (!e) throw FsFailure("Cannot remove", current_, "it changed while being checked");
            if (top.resumeAfter == e->d_name) top.resumeAfter.clear();
            return;
        }
        if (!e) return leave();
        current_.append("/").append(e->d_name);
        if (++steps_ % 256 == 0 && removalMustEnd()) {
            throw FsFailure("Cannot remove", path_, "the helper is stopping");
        }
        if (!isFolder(topFd, e)) {
            if (int err = scanOnly_ ? 0 : unlinkItem(topFd, e->d_name)) {
                fail("Cannot remove", current_, err);
            }
            return;
        }
        if (auto sub = enter(topFd, e->d_name)) {
            levels_.push_back(std::move(*sub));
            if (levels_.size() > kHeldLevels)
                levels_[levels_.size() - 1 - kHeldLevels].listing.reset();
        }
    }

    // The entry is a folder; its owner is checked on the way when owners count.
    bool isFolder(int dir, const dirent* e) {
        if (e->d_type != DT_UNKNOWN && caller_ == 0) return e->d_type == DT_DIR;
        struct stat st;
        if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot read", current_);
        checkOwner(st, current_);
        return S_ISDIR(st.st_mode);
    }

    // Opens a folder to list it; nothing when a scan meets another file system.
    std::optional<RemoveLevel> enter(int parent, const char* name) {
        UniqueFd fd(::openat(parent, name, kFolderOpenFlags));
        struct stat st;
        if (!fd || ::fstat(fd.get(), &st) != 0) fail("Cannot open folder", current_);
        // Another file system, or a bind mount of this one: never entered.
        if (st.st_dev != device_ || isMountRoot(fd.get())) {
            if (scanOnly_) return std::nullopt;
            fail("Cannot remove", current_, EXDEV);
        }
        checkOwner(st, current_);
        if (!scanOnly_ && caller_ != 0) lock(fd.get(), st);
        return RemoveLevel{
            name, st.st_dev, st.st_ino, current_.size(), listDirectory(std::move(fd), current_),
            false};
    }

    // Root's and private from here on: what the listing shows can no longer be swapped by anyone
    // else, so an owner seen is the owner of what is removed.
    void lock(int fd, const struct stat& st) {
        if (st.st_uid != 0 && ::fchown(fd, 0, 0) != 0) fail("Cannot take over", current_);
        if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
            fail("Cannot take over", current_);
        }
        if (int err = dropInheritedAccess(fd)) fail("Cannot take over", current_, err);
    }

    // The folder on top has been listed to its end: back to its parent, removing it.
    void leave() {
        RemoveLevel done = std::move(levels_.back());
        levels_.pop_back();
        int parent = dir_;
        if (!levels_.empty()) {
            RemoveLevel& up = levels_.back();
            if (!up.listing) {
                UniqueFd fd(::openat(::dirfd(done.listing.get()), "..", kFolderOpenFlags));
                struct stat upSt;
                current_.resize(up.pathLength);
                if (!fd || ::fstat(fd.get(), &upSt) != 0) fail("Cannot open folder", current_);
                if (upSt.st_dev != up.dev || upSt.st_ino != up.ino) {
                    throw FsFailure("Cannot remove", current_, "it was moved while being removed");
                }
                up.listing = listDirectory(std::move(fd), current_);
                if (scanOnly_) up.resumeAfter = done.name;
            }
            parent = ::dirfd(up.listing.get());
        }
        if (scanOnly_) return;
        current_.resize(done.pathLength);
        if (::unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) != 0) {
            // An entry may appear meanwhile (a file manager writes its folder settings): list
            // the folder and empty it once more.
            if (errno != ENOTEMPTY || done.retried) fail("Cannot remove folder", current_);
            done.retried = true;
            ::rewinddir(done.listing.get());
            levels_.push_back(std::move(done));
        }
    }

    const int dir_;
    const std::string path_;
    const uid_t caller_;
    const bool scanOnly_;
    dev_t device_ = 0;
    std::string current_;
    std::vector<RemoveLevel> levels_;
    size_t steps_ = 0;
};

}  // namespace

void checkOwnersBelow(int dir, const std::string& name, const std::string& path, uid_t caller) {
    if (caller != 0) TreeRemover(dir, path, caller, /*scanOnly=*/true).run(name);
}

void removeTree(int dir, const std::string& name, const std::string& path, uid_t caller) {
    requireTrustedFileSystem(dir, "Cannot remove", path);
    // Nothing goes when anything there is another user's.
    checkOwnersBelow(dir, name, path, caller);
    TreeRemover(dir, path, caller, /*scanOnly=*/false).run(name);
}

}  // namespace nimbara
