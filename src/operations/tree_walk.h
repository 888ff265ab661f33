// SPDX-License-Identifier: Apache-2.0
// Copying and measuring whole trees through directory descriptors: never following a
// symbolic link, never recursing on the call stack, with a bounded number of descriptors.
// Copies go at most kMaxCopyDepth levels deep (removal: tree_remove.h). Sources are read with
// the caller's file-system identity, everything created is the helper's. Failures are reported
// as FsFailure. Called only from the operation queue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/caller.h"

namespace nimbara {

// Plug-in bundles are a few levels deep; two descriptors are held per level while copying.
inline constexpr size_t kMaxCopyDepth = 128;

// The reason a step failed, for people: "<what> <path>: <cause>", e.g.
// "Cannot create folder /Library/Audio/Plug-Ins/VST3/x: Not a directory".
std::string fsReason(const std::string& what, const std::string& path, int err);

// A file-system step that failed; what() is its reason text.
class FsFailure : public std::runtime_error {
  public:
    explicit FsFailure(const std::string& reason) : std::runtime_error(reason) {}
    FsFailure(const std::string& what, const std::string& path, int err)
        : std::runtime_error(fsReason(what, path, err)) {}
    FsFailure(const std::string& what, const std::string& path, const std::string& cause)
        : std::runtime_error(what + " " + path + ": " + cause) {}
};

// Asks running and later copies to give up at their next step (the helper is stopping);
// removals go on until `removalDeadline`, so that what a copy staged is removed if it can be,
// and is otherwise left for the next start.
void requestStop(std::chrono::steady_clock::time_point removalDeadline);
bool stopRequested();
// True once a stop was requested and its removal deadline has passed.
bool removalMustEnd();

// What a tree takes on a file system: bytes allocated and items (each needs an inode).
struct TreeSize {
    uint64_t bytes = 0;
    uint64_t items = 0;
};

// The size of the item `name` in `srcDir`, a folder with all it holds, read as `caller`.
// Fails on items that cannot be copied and on trees deeper than kMaxCopyDepth.
TreeSize measureTree(const Caller& caller, int srcDir, const std::string& name,
                     const std::string& srcPath);

// Copies the item `name` in `srcDir` to the new name `dstName` in `dstDir`: regular files
// (exactly the size they had when opened, holes kept), folders and symbolic links (as links);
// anything else fails. Modes are kept masked with 0755; nothing else is carried over. Fails
// when more than `spaceBytes` would be written. `srcPath`/`dstPath` name the items in texts.
void copyTree(const Caller& caller, int srcDir, const std::string& name, int dstDir,
              const std::string& dstName, const std::string& srcPath, const std::string& dstPath,
              uint64_t spaceBytes);

}  // namespace nimbara
