// Copying and removing whole trees through directory descriptors: never following a symbolic
// link, never recursing on the call stack, never holding more than two descriptors per
// level of depth, and never going deeper than kMaxTreeDepth. Failures are reported as FsFailure.
// Called only from the operation queue.
#pragma once

#include <stdexcept>
#include <string>

namespace nimbara {

inline constexpr size_t kMaxTreeDepth = 128;

// The reason a step failed, for people: "<what> <path>: <cause>", e.g.
// "Cannot create folder /Library/Audio/Plug-Ins/VST3/x: Not a directory".
std::string fsReason(const std::string& what, const std::string& path, int err);

// A file-system step that failed; what() is its reason text.
class FsFailure : public std::runtime_error {
  public:
    FsFailure(const std::string& what, const std::string& path, int err)
        : std::runtime_error(fsReason(what, path, err)) {}
    FsFailure(const std::string& what, const std::string& path, const std::string& cause)
        : std::runtime_error(what + " " + path + ": " + cause) {}
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
