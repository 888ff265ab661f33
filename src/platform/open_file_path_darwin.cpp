// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <sys/param.h>

#include <string>

#include "platform/open_file_path.h"

namespace nimbara {

std::string pathOfOpenFile(int fd) {
    char buf[MAXPATHLEN];  // F_GETPATH fills at most MAXPATHLEN bytes, NUL included
    if (::fcntl(fd, F_GETPATH, buf) != 0 || buf[0] != '/') return "";
    return buf;
}

}  // namespace nimbara
