// SPDX-License-Identifier: Apache-2.0
// Which file systems the helper reads from and writes to: only those whose answers come from
// this machine's kernel. A file system served by a user's process (FUSE) or by another machine
// can leave a call unanswered for as long as it likes, and no file operation of any user could
// run meanwhile. Stateless; any thread.
#pragma once

#include <string>

namespace nimbara {

// "" when the file system of the open item `fd` answers from this machine's kernel; otherwise
// its kind ("fuse", "nfs", "smb", ...), which names it in a refusal. A file system that cannot
// be asked is reported as "unknown".
std::string untrustedFileSystem(int fd);

}  // namespace nimbara
