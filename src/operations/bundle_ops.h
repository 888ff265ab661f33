// SPDX-License-Identifier: Apache-2.0
// The helper's privileged file operations on validated, canonical paths, for a caller. Each
// path is reached from its allowed root through descriptors, one component at a time; no
// symbolic link below a root is ever followed, and folders on the way are trusted only when
// neither another user nor a link could have prepared them. Sources are read as the caller. A
// copy is built beside the destination under a hidden name (noted in a StagingJournal) and
// swapped into place when complete. Failures throw OperationError; called only from the
// operation queue, one at a time.
#pragma once

#include <functional>
#include <string>

#include "operations/operation_error.h"
#include "operations/staging_journal.h"
#include "platform/caller.h"

namespace nimbara {

// A canonical path together with the trusted folder it lies in (or is).
struct AnchoredPath {
    std::string root;  // e.g. "/Library/Audio/Plug-Ins/VST3" or "/Users"
    std::string path;  // equal to root or below it
};

// Puts a copy of `source` at `dest`, replacing what is there (a link there is replaced as a
// link); never merges. On failure the existing destination is left as it was. Throws copyFailed
// with "Failed to create parent dir: ", "Failed to remove existing dest: " or the reason alone.
// Once the copy is in place it has succeeded: returns a warning to log when the replaced item
// could not be removed (it stays in the journal for the next start), else "".
std::string copyBundle(const Caller& caller, const AnchoredPath& source, const AnchoredPath& dest,
                       StagingJournal& journal);

// Removes the item at `path` (a folder with all it holds, at any depth; a link as a link);
// nothing there is success. A hidden item `journal` names is forgotten once removed. Throws
// removeFailed: for a plug-in folder itself, and for anything another user owns below `path`
// (nothing is removed then).
void removeBundle(const Caller& caller, const AnchoredPath& path,
                  StagingJournal* journal = nullptr);

// Creates the folder at `path` and any missing folders above it; an existing folder that the
// caller may use is success. Throws mkdirFailed.
void mkdirp(const Caller& caller, const AnchoredPath& path);

// Removes the hidden items an earlier run left behind (as its journal names them), calling
// `report` with one line for each. Entries that name nothing are dropped.
void sweepLeftovers(StagingJournal& journal, const std::function<void(const std::string&)>& report);

}  // namespace nimbara
