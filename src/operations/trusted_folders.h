// SPDX-License-Identifier: Apache-2.0
// Reaching the folders the helper writes in without trusting what others could have prepared:
// the allowed roots (and the helper's own state folder) are reached from "/" one component at a
// time, never through a link, past ancestors that only root can change; folders below a root
// are trusted only when they belong to root or to the caller and no one else can write them.
// Stateless; called from the operation queue and at start.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"
#include "platform/caller.h"

namespace nimbara {

// A folder on the way could not be used. `missing`: a folder that should be there is not and
// could not be made (rather than one that is there but is not a usable folder).
class WalkFailure : public FsFailure {
  public:
    WalkFailure(const std::string& reason, int err, bool missing)
        : FsFailure(reason), err(err), missing(missing) {}
    int err;  // ENOENT, ENOTDIR, ELOOP (a link), EACCES (not trusted), ...
    bool missing;
};

// Why the folder `st` at `path` below a root may not be used for `caller`, or "" when it may:
// e.g. ".../Nimbara is owned by uid 1000 and writable by others".
std::string distrustBelowRoot(const struct stat& st, const std::string& path, const Caller& caller);

// Symbolic links on the way from "/" to a trusted folder.
enum class LinksOnTheWay {
    refused,      // every link fails the walk (ELOOP)
    rootsAllowed  // a link is followed when root owns it and only root can change the folder
                  // that holds it (as where /var links to /private/var), at most 8 of them
};

// Opens the absolute folder `path` (an allowed root or the helper's state folder) from "/".
// Ancestors must be owned by root and writable by no one else; the folder itself must be a real
// folder owned by root. Missing folders are created when asked (`mode` for the last, 0755 for
// the others). Throws WalkFailure.
UniqueFd openTrustedFolder(const std::string& path, bool create, mode_t mode = 0755,
                           LinksOnTheWay links = LinksOnTheWay::refused);

// Walks `folders` ("a/b", or empty for the root itself) below the open root `rootFd` at
// `rootPath`, never through a link, each folder trusted for `caller`; creates missing folders
// (0755, root, no inherited access) when asked. Returns the last folder. Throws WalkFailure.
UniqueFd walkBelowRoot(int rootFd, const std::string& rootPath, std::string_view folders,
                       const Caller& caller, bool create);

// Creates the folder `name` in `dir` as the helper's: mode `mode`, nothing inherited.
// Returns 0 or an errno value (EEXIST when something is there, or took the new folder's place).
int makeFolder(int dir, const char* name, mode_t mode);

// 0 when the folder open at `fd` is one the helper has just made: its own, no mode bits beyond
// `mode`, empty. EEXIST when it is not, another errno value when it cannot be read.
int verifyNewFolder(int fd, mode_t mode);

}  // namespace nimbara
