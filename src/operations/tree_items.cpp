// SPDX-License-Identifier: Apache-2.0
#include "operations/tree_items.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

#include "base/sys.h"
#include "operations/progress_watch.h"
#include "platform/privacy.h"

namespace nimbara {
namespace {

// O_NONBLOCK: an item swapped for a FIFO after it was listed cannot hang the open.
constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr const char* kOtherFileSystem =
    "it lies on another file system than the folder that holds the source";

std::atomic<bool> stopping{false};
std::atomic<std::chrono::steady_clock::rep> removalDeadline{0};  // when stopping

}  // namespace

namespace tree_items {

void fail(const std::string& what, const std::string& path, int err) {
    throw FsFailure(what, path, err);
}

void fail(const std::string& what, const std::string& path, const std::string& cause) {
    throw FsFailure(what, path, cause);
}

void checkStop(const std::string& path) {
    if (stopRequested()) fail("Cannot copy", path, "the helper is stopping");
    noteProgress(path);
}

void requireDevice(const struct stat& st, dev_t device, const std::string& path) {
    if (st.st_dev != device) fail("Cannot copy", path, kOtherFileSystem);
}

dev_t deviceOf(int dir, const std::string& path) {
    struct stat st;
    if (::fstat(dir, &st) != 0) fail("Cannot read", path);
    return st.st_dev;
}

std::string tooDeep() {
    return "folders nested more than " + std::to_string(kMaxCopyDepth) + " levels deep";
}

mode_t entryType(int dir, const dirent* e, const std::string& path) {
    switch (e->d_type) {
        case DT_DIR:
            return S_IFDIR;
        case DT_REG:
            return S_IFREG;
        case DT_LNK:
            return S_IFLNK;
        case DT_UNKNOWN:
            break;
        default:
            return S_IFIFO;  // any other kind: not copyable
    }
    struct stat st;
    if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot read", path);
    return st.st_mode & S_IFMT;
}

std::string readLink(int dir, const char* name, const std::string& path) {
    std::string target(PATH_MAX + 1, '\0');
    ssize_t n = ::readlinkat(dir, name, target.data(), target.size());
    if (n < 0) fail("Cannot read link", path);
    if (static_cast<size_t>(n) >= target.size()) fail("Cannot read link", path, ENAMETOOLONG);
    target.resize(static_cast<size_t>(n));
    return target;
}

UniqueFd openSource(int dir, const char* name, mode_t type, const std::string& path,
                    struct stat& st) {
    UniqueFd fd(::openat(dir, name, kSourceFlags | (type == S_IFDIR ? O_DIRECTORY : 0)));
    if (!fd || ::fstat(fd.get(), &st) != 0) fail("Cannot open", path);
    if ((st.st_mode & S_IFMT) != type) fail("Cannot copy", path, kNotCopyable);
    return fd;
}

}  // namespace tree_items

std::string fsReason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + errnoText(err) + privacyNote(err, path);
}

void requestStop(std::chrono::steady_clock::time_point deadline) {
    removalDeadline.store(deadline.time_since_epoch().count());
    stopping.store(true);
}

bool stopRequested() {
    return stopping.load(std::memory_order_relaxed);
}

bool removalMustEnd() {
    return stopping.load(std::memory_order_relaxed) &&
           std::chrono::steady_clock::now().time_since_epoch().count() > removalDeadline.load();
}

}  // namespace nimbara
