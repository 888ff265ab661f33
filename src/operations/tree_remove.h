// SPDX-License-Identifier: Apache-2.0
// Removing whole trees through directory descriptors, at any depth, with a bounded number of
// descriptors: links are removed as links, never followed, and nothing on another file system
// is entered. For a caller other than root, no item of another user goes, at any depth.
// Failures are reported as FsFailure. Called only from the operation queue and at start.
#pragma once

#include <sys/types.h>

#include <string>

#include "operations/tree_walk.h"

namespace nimbara {

// An item that belongs to a user other than root and the caller: "PATH is owned by uid N".
class ForeignItem : public FsFailure {
  public:
    ForeignItem(const std::string& path, uid_t owner)
        : FsFailure(path + " is owned by uid " + std::to_string(owner)), owner(owner) {}
    uid_t owner;
};

// Throws ForeignItem when the item `name` in `dir`, or anything below it, belongs to someone
// other than root and `caller`; changes nothing. A caller who is root may remove anything.
// Folders on another file system are not entered.
void checkOwnersBelow(int dir, const std::string& name, const std::string& path, uid_t caller);

// Removes the item `name` in `dir` (at `path`), a folder with all it holds. For a caller other
// than root the whole tree is checked first (nothing goes when anything there is another
// user's), and each folder is made root's and private before it is emptied, so that no one can
// move another user's item into it meanwhile. Gives up when a stop's removal deadline has passed.
void removeTree(int dir, const std::string& name, const std::string& path, uid_t caller);

}  // namespace nimbara
