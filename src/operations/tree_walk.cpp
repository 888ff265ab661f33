// SPDX-License-Identifier: Apache-2.0
#include "operations/tree_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/unique_fd.h"
#include "operations/dir_listing.h"
#include "operations/file_contents.h"
#include "operations/progress_watch.h"
#include "operations/tree_items.h"
#include "operations/trusted_folders.h"
#include "platform/credentials.h"
#include "platform/file_system.h"

namespace nimbara {
namespace {

using namespace tree_items;

constexpr size_t kOpenBatch = 256;  // source files of one folder held open at once

struct SourceFile {
    std::string name;
    UniqueFd fd;
    struct stat st;
};

// A folder being copied. A subfolder's frame starts with neither descriptor: its source is
// opened as the caller together with its first entries, its copy made as the helper afterwards.
struct CopyFrame {
    DirPtr listing;  // the source folder, opened as the caller
    UniqueFd dst;
    std::string srcPath;
    std::string dstPath;
    std::string name = {};  // in the parent folders, for a frame not yet opened
    int parentSrc = -1;     // held open by the parent frame
    int parentDst = -1;
    bool listed = false;
    std::vector<std::string> folders = {};  // subfolders still to copy
    size_t next = 0;
};

class TreeCopier {
  public:
    TreeCopier(const Caller& caller, uint64_t spaceBytes) : caller_(caller), space_(spaceBytes) {}

    void copyTop(int srcDir, const std::string& name, int dstDir, const std::string& dstName,
                 const std::string& srcPath, const std::string& dstPath) {
        struct stat st;
        UniqueFd src;
        std::string target;
        {
            CallerIdentityScope as(caller_);
            device_ = deviceOf(srcDir, srcPath);
            if (::fstatat(srcDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                fail("Cannot read", srcPath);
            }
            requireDevice(st, device_, srcPath);
            mode_t type = st.st_mode & S_IFMT;
            if (type == S_IFLNK) {
                target = readLink(srcDir, name.c_str(), srcPath);
            } else if (type == S_IFREG || type == S_IFDIR) {
                src = openSource(srcDir, name.c_str(), type, srcPath, st);
            } else {
                fail("Cannot copy", srcPath, kNotCopyable);
            }
        }
        if (!src) {
            if (::symlinkat(target.c_str(), dstDir, dstName.c_str()) != 0) {
                fail("Cannot create link", dstPath);
            }
            return;
        }
        if (S_ISREG(st.st_mode)) {
            UniqueFd dst =
                copyFile({name, std::move(src), st}, dstDir, dstName.c_str(), srcPath, dstPath);
            settle(dst.get(), st.st_mode, dstPath);
            flush(dst.get(), dstPath);
            return;
        }
        // The top folder stays private (0700) until it is complete.
        if (::mkdirat(dstDir, dstName.c_str(), 0700) != 0) fail("Cannot create folder", dstPath);
        UniqueFd dst(::openat(dstDir, dstName.c_str(), kDirFlags));
        if (!dst) fail("Cannot open folder", dstPath);
        // Opened by name in a folder others may write: it must be the folder just made.
        if (int err = verifyNewFolder(dst.get(), 0700)) fail("Cannot open folder", dstPath, err);
        if (int err = dropInheritedAccess(dst.get())) fail("Cannot set access of", dstPath, err);
        int topFd = dst.get();
        CopyFrame frame{listDirectory(std::move(src), srcPath), std::move(dst), srcPath, dstPath};
        frames_.push_back(std::move(frame));
        // The frame keeps the descriptor open until run() has popped it; settle it afterwards
        // through a descriptor of its own.
        UniqueFd top(::fcntl(topFd, F_DUPFD_CLOEXEC, 0));
        if (!top) fail("Cannot open folder", dstPath);
        run();
        settle(top.get(), st.st_mode, dstPath);
        flush(top.get(), dstPath);
    }

  private:
    void run() {
        while (!frames_.empty()) {
            CopyFrame& top = frames_.back();
            if (!top.listed) {
                copyEntries(top);
                top.listed = true;
            }
            if (top.next == top.folders.size()) {
                if (frames_.size() > 1)
                    flush(top.dst.get(), top.dstPath);  // the top one: settled first
                frames_.pop_back();
                continue;
            }
            enterFolder(top, top.folders[top.next++]);
        }
    }

    // Copies the files and links of a folder and notes its subfolders. Sources are opened as
    // the caller in batches; everything is created as the helper.
    void copyEntries(CopyFrame& frame) {
        std::vector<SourceFile> files;
        std::vector<std::pair<std::string, std::string>> links;
        for (bool more = true; more;) {
            more = false;
            struct stat folder;
            {
                CallerIdentityScope as(caller_);
                if (!frame.listing) {
                    UniqueFd src = openSource(frame.parentSrc, frame.name.c_str(), S_IFDIR,
                                              frame.srcPath, folder);
                    requireDevice(folder, device_, frame.srcPath);
                    frame.listing = listDirectory(std::move(src), frame.srcPath);
                }
                int dir = ::dirfd(frame.listing.get());
                while (const dirent* e = nextEntry(frame.listing.get(), frame.srcPath)) {
                    std::string path = frame.srcPath + "/" + e->d_name;
                    checkStop(path);
                    mode_t type = entryType(dir, e, path);
                    if (type == S_IFDIR) {
                        frame.folders.emplace_back(e->d_name);
                    } else if (type == S_IFLNK) {
                        links.emplace_back(e->d_name, readLink(dir, e->d_name, path));
                    } else if (type == S_IFREG) {
                        struct stat st;
                        UniqueFd fd = openSource(dir, e->d_name, S_IFREG, path, st);
                        requireDevice(st, device_, path);
                        files.push_back({e->d_name, std::move(fd), st});
                        if (files.size() == kOpenBatch) {
                            more = true;
                            break;
                        }
                    } else {
                        fail("Cannot copy", path, kNotCopyable);
                    }
                }
            }
            if (!frame.dst) makeFolder(frame, folder.st_mode);
            for (const auto& [name, target] : links) {
                if (::symlinkat(target.c_str(), frame.dst.get(), name.c_str()) != 0) {
                    fail("Cannot create link", frame.dstPath + "/" + name);
                }
            }
            for (SourceFile& file : files) {
                std::string dstPath = frame.dstPath + "/" + file.name;
                UniqueFd dst = copyFile(file, frame.dst.get(), file.name.c_str(),
                                        frame.srcPath + "/" + file.name, dstPath);
                flush(dst.get(), dstPath);
            }
            links.clear();
            files.clear();
        }
    }

    void enterFolder(CopyFrame& parent, const std::string& name) {
        std::string srcPath = parent.srcPath + "/" + name;
        checkStop(srcPath);
        if (frames_.size() >= kMaxCopyDepth) fail("Cannot copy", srcPath, tooDeep());
        CopyFrame frame{{},
                        {},
                        std::move(srcPath),
                        parent.dstPath + "/" + name,
                        name,
                        ::dirfd(parent.listing.get()),
                        parent.dst.get()};
        frames_.push_back(std::move(frame));
    }

    // Inside the private top folder, folders can take their final mode at once.
    static void makeFolder(CopyFrame& frame, mode_t mode) {
        if (::mkdirat(frame.parentDst, frame.name.c_str(), mode & kModeMask) != 0) {
            fail("Cannot create folder", frame.dstPath);
        }
        frame.dst.reset(::openat(frame.parentDst, frame.name.c_str(), kDirFlags));
        if (!frame.dst) fail("Cannot open folder", frame.dstPath);
    }

    UniqueFd copyFile(const SourceFile& file, int dstDir, const char* dstName,
                      const std::string& srcPath, const std::string& dstPath) {
        const uint64_t size = static_cast<uint64_t>(file.st.st_size);
        const bool byRanges = copyByDataRanges(file.fd.get(), file.st, dstDir);
        // Copied whole, a file takes its size at least (a compressed one more than its blocks).
        const uint64_t takes =
            byRanges ? allocatedBytes(file.st) : std::max(allocatedBytes(file.st), size);
        written_ += takes;
        if (written_ > space_) {
            fail("Cannot copy", srcPath,
                 "not enough space: the copy needs more than the " + std::to_string(space_) +
                     " bytes available");
        }
        UniqueFd dst;
        // A file with holes is copied by its data ranges, so the holes stay holes.
        if (!byRanges) {
            int err = cloneFile(file.fd.get(), dstDir, dstName, dst);
            if (err == 0) {
                struct stat st;
                if (::fstat(dst.get(), &st) != 0) fail("Cannot copy", srcPath);
                if (st.st_size != file.st.st_size) fail("Cannot copy", srcPath, kChangedSize);
                if (::fchmod(dst.get(), file.st.st_mode & kModeMask) != 0) {
                    fail("Cannot set permissions of", dstPath);
                }
                noteFileCopied(allocatedBytes(file.st));
                return dst;
            }
            if (err != ENOTSUP) fail("Cannot copy", srcPath, err);
        }
        dst.reset(::openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           file.st.st_mode & kModeMask));
        if (!dst) fail("Cannot create", dstPath);
        // A file may hold more data than its blocks showed when the tree was measured (space
        // reserved but never written reads as holes and is copied whole): what it took beyond
        // that counts against the space left for the files after it.
        uint64_t wrote = copyFileContents(file.fd.get(), dst.get(), file.st, srcPath, byRanges,
                                          space_ - written_ + takes);
        if (wrote > takes) written_ += wrote - takes;
        return dst;
    }

    // Where the system flushes item by item, each new file and folder reaches the disk before
    // the tree is swapped in (elsewhere the whole file system is flushed once, before the swap).
    static void flush(int fd, const std::string& path) {
        if (int err = flushStagedItem(fd)) fail("Cannot flush", path, err);
    }

    // Gives a top item its final mode, with no access inherited from the folder it is in.
    static void settle(int fd, mode_t mode, const std::string& path) {
        if (int err = dropInheritedAccess(fd)) fail("Cannot set access of", path, err);
        if (::fchmod(fd, mode & kModeMask) != 0) fail("Cannot set permissions of", path);
    }

    const Caller& caller_;
    const uint64_t space_;
    dev_t device_ = 0;  // of the folder that holds the source
    uint64_t written_ = 0;
    std::vector<CopyFrame> frames_;
};

}  // namespace

void copyTree(const Caller& caller, int srcDir, const std::string& name, int dstDir,
              const std::string& dstName, const std::string& srcPath, const std::string& dstPath,
              uint64_t spaceBytes) {
    requireTrustedFileSystem(dstDir, "Cannot copy to", dstPath);
    TreeCopier(caller, spaceBytes).copyTop(srcDir, name, dstDir, dstName, srcPath, dstPath);
}

}  // namespace nimbara
