// SPDX-License-Identifier: Apache-2.0
#include <errno.h>

#include <array>

#include "platform/privacy.h"

namespace nimbara {
namespace {

constexpr const char* kFullDiskAccessNote =
    " (macOS privacy protection: the helper may read Desktop, Documents, Downloads, iCloud "
    "Drive and removable volumes only with Full Disk Access; stage bundles elsewhere)";
// The protection guards more (other apps' containers, the Photos library, Mail, ...) and it, or
// a sandbox, answers EPERM where permissions would have said EACCES.
constexpr const char* kProtectedNote =
    " (macOS privacy protection or a sandbox: the helper may need Full Disk Access to read "
    "there; stage bundles elsewhere)";

// Folders of a home that the privacy protection guards, relative to /Users/<name>/.
constexpr std::array<std::string_view, 4> kGuardedInHome{"Desktop", "Documents", "Downloads",
                                                         "Library/Mobile Documents"};

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names are compared without regard to case, as the system's volumes do by default.
bool startsWithFolder(std::string_view path, std::string_view folder) {
    if (path.size() < folder.size() || (path.size() > folder.size() && path[folder.size()] != '/'))
        return false;
    for (size_t i = 0; i < folder.size(); ++i) {
        if (lower(path[i]) != lower(folder[i])) return false;
    }
    return true;
}

// The part of `path` below a home folder, or nothing when it is not below one.
bool belowHome(std::string_view path, std::string_view& rest) {
    if (!startsWithFolder(path, "/Users") || path.size() <= 7) return false;
    rest = path.substr(7);  // after "/Users/"
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return false;
    rest.remove_prefix(slash + 1);
    return true;
}

}  // namespace

std::string privacyNote(int err, std::string_view path) {
    if (err != EPERM) return "";
    if (startsWithFolder(path, "/Volumes")) return kFullDiskAccessNote;
    std::string_view rest;
    if (!belowHome(path, rest)) return "";
    for (auto folder : kGuardedInHome) {
        if (startsWithFolder(rest, folder)) return kFullDiskAccessNote;
    }
    return kProtectedNote;
}

}  // namespace nimbara
