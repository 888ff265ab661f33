// SPDX-License-Identifier: Apache-2.0
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/credentials.h"

namespace nimbara {
namespace {

// glibc's setgroups() changes every thread of the process; the system call changes only this one.
int setThreadGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(::syscall(SYS_setgroups, groups.size(), groups.data()));
}

// setfsuid/setfsgid report the previous value and never an error; asking again tells whether
// the change took.
bool setFsIds(uid_t uid, gid_t gid) {
    ::setfsgid(gid);
    ::setfsuid(uid);
    return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid &&
           static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == gid;
}

}  // namespace

CallerIdentityScope::CallerIdentityScope(const Caller& caller) {
    if (caller.uid == 0) return;
    if (caller.uid == static_cast<uid_t>(-1) || caller.gid == static_cast<gid_t>(-1)) {
        throw std::system_error(EPERM, std::generic_category(), "unknown caller");
    }
    int count = ::getgroups(0, nullptr);
    savedGroups_.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count < 0 || ::getgroups(count, savedGroups_.data()) != count) {
        throw std::system_error(errno, std::generic_category(), "cannot read the helper's groups");
    }
    if (setThreadGroups(caller.groups) != 0) {
        int err = errno;
        throw std::system_error(err, std::generic_category(), "cannot take the caller's groups");
    }
    switched_ = true;  // from here on the destructor restores root
    if (!setFsIds(caller.uid, caller.gid)) {
        restore();  // the destructor does not run for a constructor that throws
        throw std::system_error(EPERM, std::generic_category(), "cannot act as the caller");
    }
}

CallerIdentityScope::~CallerIdentityScope() {
    restore();
}

void CallerIdentityScope::restore() {
    if (!switched_) return;
    switched_ = false;
    if (!setFsIds(0, 0) || setThreadGroups(savedGroups_) != 0) std::abort();
}

bool isAdministratorGroup(gid_t gid) {
    return gid == 0;
}

}  // namespace nimbara
