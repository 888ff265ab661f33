// SPDX-License-Identifier: Apache-2.0
#include <errno.h>

#include <array>

#include "platform/privacy.h"

namespace nimbara {
namespace {

constexpr const char* kFullDiskAccessNote =
    " (macOS privacy protection: the helper may read Desktop, Documents, Downloads, iCloud "
    "Drive and removable volumes only with Full Disk Access; stage bundles elsewhere)";

// Folders of a home that the privacy protection guards, relative to /Users/<name>/.
constexpr std::array<std::string_view, 4> kGuardedInHome{"Desktop", "Documents", "Downloads",
                                                         "Library/Mobile Documents"};

bool startsWithFolder(std::string_view path, std::string_view folder) {
    return path.substr(0, folder.size()) == folder &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

bool isGuarded(std::string_view path) {
    if (startsWithFolder(path, "/Volumes")) return true;
    constexpr std::string_view kUsers = "/Users/";
    if (path.substr(0, kUsers.size()) != kUsers) return false;
    std::string_view rest = path.substr(kUsers.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return false;
    rest.remove_prefix(slash + 1);  // below the home folder
    for (auto folder : kGuardedInHome) {
        if (startsWithFolder(rest, folder)) return true;
    }
    return false;
}

}  // namespace

std::string privacyNote(int err, std::string_view path) {
    // The protection refuses with EPERM where permissions would have said EACCES.
    return err == EPERM && isGuarded(path) ? kFullDiskAccessNote : "";
}

}  // namespace nimbara
