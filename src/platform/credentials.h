// SPDX-License-Identifier: Apache-2.0
// Acting for a caller on the current thread: for the life of a CallerIdentityScope, file-system
// permission checks made by this thread are the caller's (uid, gid and supplementary groups),
// so the helper reads only what the caller could read itself. Other threads are unaffected.
// Construct and destroy on the same thread; scopes do not nest.
#pragma once

#include <sys/types.h>

#include <vector>

#include "platform/caller.h"

namespace nimbara {

class CallerIdentityScope {
  public:
    // Switches this thread's file-system identity to `caller` (nothing to do for root).
    // Throws std::system_error when the switch cannot be made; the thread is then root again.
    explicit CallerIdentityScope(const Caller& caller);
    // Back to root; a failure to switch back is a broken invariant and aborts.
    ~CallerIdentityScope();
    CallerIdentityScope(const CallerIdentityScope&) = delete;
    CallerIdentityScope& operator=(const CallerIdentityScope&) = delete;

  private:
    void restore();  // back to root when switched

    bool switched_ = false;
    std::vector<gid_t> savedGroups_;  // the thread's groups before the switch
};

// True for groups whose members can act as root anyway, so that a folder writable by such a
// group is as safe as one writable by root alone.
bool isAdministratorGroup(gid_t gid);

}  // namespace nimbara
