// Copying and removing whole trees through directory descriptors: never following a symbolic
// link, never recursing on the call stack, never holding more than two descriptors per
// level of depth, and never going deeper than kMaxTreeDepth. Failures are reported as FsFailure.
// Called only from the operation queue.
#pragma once

#include <stdexcept>
#include <string>

namespace nimbara {

inline constexpr size_t kMaxTreeDepth = 128;

// A file-system call that failed: "<what> <path>: <system error text>".
class FsFailure : public std::runtime_error {
  public:
    FsFailure(const std::string& what, const std::string& path, int err);
    int error() const { return err_; }

  private:
    int err_;
};

// Copies the item `name` in `srcDir` to the new name `dstName` in `dstDir`: regular files (in
// the kernel), folders and symbolic links (as links); anything else fails. Modes are kept
// masked with 0755; nothing else is carried over. `srcPath`/`dstPath` name the items in texts.
void copyTree(int srcDir, const std::string& name, int dstDir, const std::string& dstName,
              const std::string& srcPath, const std::string& dstPath);

// Removes the item `name` in `dir`; a folder with all it holds. Links are removed as links,
// never followed; a folder on another file system is not entered and fails the removal.
void removeTree(int dir, const std::string& name, const std::string& path);

}  // namespace nimbara
