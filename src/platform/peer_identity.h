// SPDX-License-Identifier: Apache-2.0
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
// readFromPeer compares.
void releasePeerPin(PeerProcess& peer);

// One read of request bytes and who wrote them.
struct PeerChunk {
    ssize_t bytes = -1;     // as read(2): 0 at end of stream, -1 on an error
    bool fromPeer = false;  // the bytes were written by the checked process itself
    pid_t sender = -1;      // the writer's pid where the system tells, else -1
};

// Reads at most `size` bytes of `socketFd` into `buf`, never joining bytes of two writers, and
// says whether the checked process `peer` wrote them. Linux attributes each chunk to the
// process that sent it (SO_PASSCRED, see attributeSenders); macOS names the process that last
// used the peer's socket, read again after each read, which is advisory only: a process sharing
// the descriptor that wrote but did not use it last is not seen.
PeerChunk readFromPeer(int socketFd, char* buf, size_t size, const PeerProcess& peer);

// Has the kernel record the sender of every chunk on connections accepted from `listenFd`, from
// their first byte on (also bytes sent before the accept). Returns 0 or an errno value.
int attributeSenders(int listenFd);

// The peer's uid as the kernel recorded it, or -1 when it cannot tell. Cheap: one call, no
// descriptor.
uid_t peerUidOf(int socketFd);

}  // namespace nimbara
