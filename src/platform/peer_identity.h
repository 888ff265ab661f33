// Who is at the other end of a connected Unix-domain socket: the peer's process id and the
// identity it acts with, pinned so that an exited process (or a reused pid) is never mistaken
// for the original peer: by a pidfd on Linux, by the kernel's audit token on macOS.
// Stateless; any thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>

#include "base/unique_fd.h"
#include "platform/caller.h"

namespace nimbara {

struct PeerProcess {
    pid_t pid = -1;    // -1 when the kernel could not tell
    UniqueFd pidfd;    // Linux: pins the process; invalid when it could not be pinned
    Caller caller;     // the identity it connected with; uid -1 when unknown
    int pinError = 0;  // why the process is not pinned (an errno value); 0 when there was no pid
    std::array<uint32_t, 8> auditToken{};  // macOS: the token the check was made against
};

// The peer of `socketFd`: its pid and credentials from the socket and what pins that process.
PeerProcess peerProcessOf(int socketFd);

// Gives up what pins the process once its check is done (the pidfd), keeping what
// peerUnchanged compares.
void releasePeerPin(PeerProcess& peer);

// True when the process now answering for `socketFd` is still the one that was checked. Called
// after each request line: on macOS the kernel names the process that last used the peer's
// socket, so a process that shares the descriptor and writes is caught. Linux reports the
// credentials of connect time only, so there it is always true.
bool peerUnchanged(const PeerProcess& peer, int socketFd);

// The peer's uid as the kernel recorded it, or -1 when it cannot tell. Cheap: one call, no
// descriptor.
uid_t peerUidOf(int socketFd);

}  // namespace nimbara
