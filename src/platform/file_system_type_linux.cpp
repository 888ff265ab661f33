// SPDX-License-Identifier: Apache-2.0
#include <linux/magic.h>
#include <sys/vfs.h>

#include <cstdint>
#include <utility>

#include "platform/file_system_type.h"

namespace nimbara {
namespace {

// File systems served by a process or another machine (see statfs(2) for the numbers).
constexpr std::pair<uint32_t, const char*> kUntrusted[] = {
    {FUSE_SUPER_MAGIC, "fuse"},  // fuse and fuseblk
    {NFS_SUPER_MAGIC, "nfs"},   {SMB_SUPER_MAGIC, "smb"}, {CIFS_SUPER_MAGIC, "cifs"},
    {SMB2_SUPER_MAGIC, "smb2"}, {V9FS_MAGIC, "9p"},       {CEPH_SUPER_MAGIC, "ceph"},
    {AFS_SUPER_MAGIC, "afs"},   {AFS_FS_MAGIC, "afs"},    {CODA_SUPER_MAGIC, "coda"},
    {0x20030528, "orangefs"},   {0x47504653, "gpfs"},     {0x0bd00bd0, "lustre"},
};

}  // namespace

std::string untrustedFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return "unknown";
    auto type = static_cast<uint32_t>(fs.f_type);
    for (const auto& [magic, name] : kUntrusted) {
        if (type == magic) return name;
    }
    return "";
}

}  // namespace nimbara
