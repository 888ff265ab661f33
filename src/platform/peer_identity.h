// Who is at the other end of a connected Unix-domain socket: the peer's process id, pinned by a
// pidfd so that an exited process (or a reused pid) is never mistaken for the original peer.
// Stateless; any thread.
#pragma once

#include <sys/types.h>

#include "base/unique_fd.h"
#include "platform/caller.h"

namespace nimbara {

struct PeerProcess {
    pid_t pid = -1;    // -1 when the kernel could not tell
    UniqueFd pidfd;    // invalid when the process could not be pinned
    Caller caller;     // the identity it connected with; uid -1 when unknown
    int pinError = 0;  // why pidfd is invalid (an errno value); 0 when there was no pid to pin
};

// The peer of `socketFd`: its pid and credentials from the socket (as they were at connect
// time) and a pidfd for that process.
PeerProcess peerProcessOf(int socketFd);

// The peer's uid as the kernel recorded it at connect time, or -1 when it cannot tell. Cheap:
// one call, no descriptor.
uid_t peerUidOf(int socketFd);

// True when the process behind `pidfd` has exited (or the pidfd is unusable).
bool processHasExited(int pidfd);

}  // namespace nimbara
