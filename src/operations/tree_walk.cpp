#include "operations/tree_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "base/sys.h"
#include "base/unique_fd.h"
#include "platform/file_copy.h"
#include "platform/privacy.h"

namespace nimbara {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kModeMask = 0755;  // no setuid, setgid, sticky or group/other write
constexpr size_t kFallbackBuffer = 256 * 1024;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

constexpr const char* kNotCopyable = "not a regular file, folder or symbolic link";

std::string tooDeep() {
    return "folders nested more than " + std::to_string(kMaxTreeDepth) + " levels deep";
}

[[noreturn]] void fail(const std::string& what, const std::string& path, int err = errno) {
    throw FsFailure(what, path, err);
}

[[noreturn]] void fail(const std::string& what, const std::string& path, const std::string& cause) {
    throw FsFailure(what, path, cause);
}

// A directory stream that takes over `fd`; dirfd() of it stays usable for *at calls.
DirPtr listDirectory(UniqueFd fd, const std::string& path) {
    DIR* d = ::fdopendir(fd.get());
    if (!d) fail("Cannot read folder", path);
    fd.release();
    return DirPtr(d);
}

// The next entry other than "." and ".."; nullptr at the end.
const dirent* nextEntry(DIR* dir, const std::string& path) {
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(dir);
        if (!e) {
            if (errno != 0) fail("Cannot read folder", path);
            return nullptr;
        }
        std::string_view n = e->d_name;
        if (n != "." && n != "..") return e;
    }
}

void copyBytes(int src, int dst, const std::string& srcPath) {
    for (;;) {
        ssize_t n = copyFileRange(src, dst, size_t{1} << 30);
        if (n > 0) continue;
        if (n == 0) return;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            fail("Cannot copy", srcPath);
        }
        break;  // the kernel cannot do it for this pair: copy through a buffer
    }
    std::vector<char> buf(kFallbackBuffer);
    for (;;) {
        ssize_t n = readSome(src, buf.data(), buf.size());
        if (n < 0) fail("Cannot read", srcPath);
        if (n == 0) return;
        if (!writeAll(dst, std::string_view(buf.data(), static_cast<size_t>(n)))) {
            fail("Cannot copy", srcPath);
        }
    }
}

struct CopyFrame {
    DirPtr listing;  // the source folder
    UniqueFd dst;
    mode_t mode;
    std::string srcPath;
    std::string dstPath;
};

class TreeCopier {
  public:
    // Copies one item; a folder is opened and pushed for its entries to be copied later.
    void copyItem(int srcDir, const char* name, int dstDir, const char* dstName,
                  const std::string& srcPath, const std::string& dstPath) {
        struct stat st;
        if (::fstatat(srcDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot read", srcPath);
        if (S_ISLNK(st.st_mode)) return copyLink(srcDir, name, dstDir, dstName, srcPath, dstPath);
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            fail("Cannot copy", srcPath, kNotCopyable);
        }
        // O_NONBLOCK: should the item be swapped for a FIFO meanwhile, opening it cannot hang.
        int flags = (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                    O_CLOEXEC;
        UniqueFd src(::openat(srcDir, name, flags));
        struct stat opened;
        if (!src || ::fstat(src.get(), &opened) != 0) fail("Cannot open", srcPath);
        if (opened.st_ino != st.st_ino || opened.st_dev != st.st_dev) {
            fail("Cannot copy", srcPath, ESTALE);  // replaced while we looked at it
        }
        if (S_ISREG(st.st_mode)) return copyFile(src.get(), dstDir, dstName, st, srcPath, dstPath);
        if (frames_.size() >= kMaxTreeDepth) fail("Cannot copy", srcPath, tooDeep());
        if (::mkdirat(dstDir, dstName, 0700) != 0) fail("Cannot create folder", dstPath);
        UniqueFd dst(::openat(dstDir, dstName, kDirFlags));
        if (!dst) fail("Cannot open folder", dstPath);
        frames_.push_back(
            {listDirectory(std::move(src), srcPath), std::move(dst), st.st_mode, srcPath, dstPath});
    }

    void run() {
        while (!frames_.empty()) {
            CopyFrame& top = frames_.back();
            const dirent* e = nextEntry(top.listing.get(), top.srcPath);
            if (!e) {
                if (::fchmod(top.dst.get(), top.mode & kModeMask) != 0) {
                    fail("Cannot set permissions of", top.dstPath);
                }
                frames_.pop_back();
                continue;
            }
            std::string srcPath = top.srcPath + "/" + e->d_name;
            std::string dstPath = top.dstPath + "/" + e->d_name;
            copyItem(::dirfd(top.listing.get()), e->d_name, top.dst.get(), e->d_name, srcPath,
                     dstPath);
        }
    }

  private:
    static void copyLink(int srcDir, const char* name, int dstDir, const char* dstName,
                         const std::string& srcPath, const std::string& dstPath) {
        std::vector<char> target(PATH_MAX + 1);
        ssize_t n = ::readlinkat(srcDir, name, target.data(), target.size());
        if (n < 0) fail("Cannot read link", srcPath);
        if (static_cast<size_t>(n) >= target.size())
            fail("Cannot read link", srcPath, ENAMETOOLONG);
        target[static_cast<size_t>(n)] = '\0';
        if (::symlinkat(target.data(), dstDir, dstName) != 0) fail("Cannot create link", dstPath);
    }

    static void copyFile(int src, int dstDir, const char* dstName, const struct stat& st,
                         const std::string& srcPath, const std::string& dstPath) {
        int err = 0;
        UniqueFd dst = cloneFile(src, dstDir, dstName, err);
        if (!dst && err != ENOTSUP) fail("Cannot copy", srcPath, err);
        if (!dst) {
            dst.reset(::openat(dstDir, dstName,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!dst) fail("Cannot create", dstPath);
            copyBytes(src, dst.get(), srcPath);
        }
        if (!clearCopiedMetadata(dst.get()) || ::fchmod(dst.get(), st.st_mode & kModeMask) != 0) {
            fail("Cannot set permissions of", dstPath);
        }
    }

    std::vector<CopyFrame> frames_;
};

struct RemoveFrame {
    DirPtr listing;
    std::string name;
    std::string path;
    bool retried = false;  // emptied a second time already
};

bool isDirectoryEntry(int dir, const dirent* e, const std::string& path) {
    if (e->d_type != DT_UNKNOWN) return e->d_type == DT_DIR;
    struct stat st;
    if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot read", path);
    return S_ISDIR(st.st_mode);
}

// Opens a folder to empty it, refusing links and other file systems.
RemoveFrame openForRemoval(int parent, const std::string& name, const std::string& path,
                           dev_t device) {
    UniqueFd fd(::openat(parent, name.c_str(), kDirFlags));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) fail("Cannot open folder", path);
    if (st.st_dev != device) fail("Cannot remove", path, EXDEV);
    return {listDirectory(std::move(fd), path), name, path};
}

}  // namespace

std::string fsReason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + errnoText(err) + privacyNote(err, path);
}

void copyTree(int srcDir, const std::string& name, int dstDir, const std::string& dstName,
              const std::string& srcPath, const std::string& dstPath) {
    TreeCopier copier;
    copier.copyItem(srcDir, name.c_str(), dstDir, dstName.c_str(), srcPath, dstPath);
    copier.run();
}

void removeTree(int dir, const std::string& name, const std::string& path) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail("Cannot remove", path);
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(dir, name.c_str(), 0) != 0) fail("Cannot remove", path);
        return;
    }
    const dev_t device = st.st_dev;
    std::vector<RemoveFrame> frames;
    frames.push_back(openForRemoval(dir, name, path, device));
    while (!frames.empty()) {
        RemoveFrame& top = frames.back();
        const dirent* e = nextEntry(top.listing.get(), top.path);
        if (!e) {
            RemoveFrame done = std::move(frames.back());
            frames.pop_back();
            int parent = frames.empty() ? dir : ::dirfd(frames.back().listing.get());
            if (::unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) != 0) {
                // An entry may appear meanwhile (the Finder writes .DS_Store): empty it once more.
                if (errno != ENOTEMPTY || done.retried) fail("Cannot remove folder", done.path);
                frames.push_back(openForRemoval(parent, done.name, done.path, device));
                frames.back().retried = true;
            }
            continue;
        }
        int topFd = ::dirfd(top.listing.get());
        std::string childPath = top.path + "/" + e->d_name;
        if (!isDirectoryEntry(topFd, e, childPath)) {
            if (::unlinkat(topFd, e->d_name, 0) != 0) fail("Cannot remove", childPath);
            continue;
        }
        if (frames.size() >= kMaxTreeDepth) {
            fail("Cannot remove", childPath, tooDeep());
        }
        frames.push_back(openForRemoval(topFd, e->d_name, childPath, device));
    }
}

}  // namespace nimbara
