// SPDX-License-Identifier: Apache-2.0
// Caller: the file-system identity of the person a request acts for, as the kernel reported it
// for the connected peer (uid, primary gid, supplementary groups). Plain value; any thread.
#pragma once

#include <sys/types.h>

#include <vector>

namespace nimbara {

struct Caller {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups, the primary one not necessarily among them
};

}  // namespace nimbara
