// SPDX-License-Identifier: Apache-2.0
#include <sys/mount.h>
#include <sys/param.h>

#include <cstring>

#include "platform/file_system_type.h"

namespace nimbara {

std::string untrustedFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return "unknown";
    std::string type(fs.f_fstypename, strnlen(fs.f_fstypename, sizeof fs.f_fstypename));
    // The system marks every volume it serves from a disk of this machine MNT_LOCAL; network
    // volumes (nfs, smbfs, afpfs, webdav) lack it. FUSE volumes (macFUSE and its kin) are
    // served by a user's process even when they claim to be local.
    if (type.find("fuse") != std::string::npos) return type;
    if ((fs.f_flags & MNT_LOCAL) == 0) return type.empty() ? "network" : type;
    return "";
}

}  // namespace nimbara
