// SPDX-License-Identifier: Apache-2.0
// Opening a path beneath a directory descriptor without ever following a symbolic link or
// leaving that directory: in one call where the kernel can refuse every link on the way
// (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS on Linux, O_NOFOLLOW_ANY on macOS), a
// component-by-component O_NOFOLLOW walk otherwise. Stateless; any thread.
#pragma once

#include <string_view>

#include "base/unique_fd.h"

namespace nimbara {

// Opens a folder for lookups below it only: search permission is enough, reading is not needed.
extern const int kLookupFlags;

// Opens `relative` (components joined by single '/', no leading '/', empty = `dirFd` itself)
// beneath `dirFd` with `flags` (O_CLOEXEC is added). Every component, the last included, must
// not be a symbolic link. On failure returns an invalid fd and sets `err` (ELOOP for a link,
// ENOTDIR, ENOENT, EXDEV for an escape, ...).
UniqueFd openBeneath(int dirFd, std::string_view relative, int flags, int& err);

// The same through a component-by-component O_NOFOLLOW walk: what openBeneath falls back to
// where the kernel cannot resolve beneath a descriptor.
UniqueFd openBeneathByComponents(int dirFd, std::string_view relative, int flags, int& err);

}  // namespace nimbara
