// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <sys/kauth.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/credentials.h"

// pthread_setugid_np is marked deprecated, yet it is the system's only way to give one thread
// (the operation queue's) another identity while connection threads keep running as root.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

namespace nimbara {

CallerIdentityScope::CallerIdentityScope(const Caller& caller) {
    if (caller.uid == 0) return;
    if (caller.uid == static_cast<uid_t>(-1) || caller.gid == static_cast<gid_t>(-1)) {
        throw std::system_error(EPERM, std::generic_category(), "unknown caller");
    }
    // The thread takes the caller's uid and one gid, and no other groups. Membership of further
    // groups is resolved for that uid through the directory service, unless the process opted
    // out of that resolution; then a file the caller may read only through a supplementary group
    // (or a group entry of an access list) is refused to the copy: it fails, never reads more.
    // Caller::groups cannot be given to the thread here.
    if (::pthread_setugid_np(caller.uid, caller.gid) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot act as the caller");
    }
    switched_ = true;
}

CallerIdentityScope::~CallerIdentityScope() {
    restore();
}

void CallerIdentityScope::restore() {
    if (!switched_) return;
    switched_ = false;
    // KAUTH_UID_NONE / KAUTH_GID_NONE give the thread back the process's own credentials.
    if (::pthread_setugid_np(KAUTH_UID_NONE, KAUTH_GID_NONE) != 0) std::abort();
}

bool isAdministratorGroup(gid_t gid) {
    return gid == 0 || gid == 80;  // wheel, and admin: its members may use sudo
}

}  // namespace nimbara
