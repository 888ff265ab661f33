// The helper's privileged file operations on validated, canonical paths. Each path is reached
// from its allowed root through descriptors, one component at a time, and no symbolic link below
// the root is ever followed. A copy is built beside the destination under a hidden name and
// swapped into place when complete. Failures throw OperationError; called only from the
// operation queue, one at a time.
#pragma once

#include <string>

#include "operations/operation_error.h"
#include "platform/caller.h"

namespace nimbara {

// A canonical path together with the trusted folder it lies in (or is).
struct AnchoredPath {
    std::string root;  // e.g. "/Library/Audio/Plug-Ins/VST3" or "/Users"
    std::string path;  // equal to root or below it
};

// Puts a copy of `source` at `dest`, replacing what is there; never merges. On failure the
// existing destination is left as it was. Throws copyFailed with "Failed to create parent dir: ",
// "Failed to remove existing dest: " or the reason alone.
void copyBundle(const Caller& caller, const AnchoredPath& source, const AnchoredPath& dest);

// Removes the item at `path` (a folder with all it holds); nothing there is success.
// Throws removeFailed.
void removeBundle(const Caller& caller, const AnchoredPath& path);

// Creates the folder at `path` and any missing folders above it; an existing folder is success.
// Throws mkdirFailed.
void mkdirp(const Caller& caller, const AnchoredPath& path);

}  // namespace nimbara
