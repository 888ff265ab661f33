// Acting for the caller in the file system: while a CallerIdentityScope lives, the calling
// thread's file-system credentials are the caller's (uid, gid, groups), so what it opens is what
// the caller could open itself. Other threads are not affected. One scope per thread at a time.
#pragma once

#include "platform/caller.h"

namespace nimbara {

class CallerIdentityScope {
  public:
    // Switches the calling thread to `caller`. Throws std::system_error when it cannot.
    explicit CallerIdentityScope(const Caller& caller);
    // Restores root; a failure to restore is a broken invariant and aborts.
    ~CallerIdentityScope();
    CallerIdentityScope(const CallerIdentityScope&) = delete;
    CallerIdentityScope& operator=(const CallerIdentityScope&) = delete;
};

}  // namespace nimbara
