// SPDX-License-Identifier: Apache-2.0
#include <unistd.h>

#include <climits>
#include <string>
#include <string_view>

#include "platform/open_file_path.h"

namespace nimbara {

std::string pathOfOpenFile(int fd) {
    std::string link = "/proc/self/fd/";
    link += std::to_string(fd);
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf || buf[0] != '/') return "";
    std::string path(buf, static_cast<size_t>(n));
    // The kernel's mark for a file removed since it was opened; such a name leads elsewhere.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) return "";
    return path;
}

}  // namespace nimbara
