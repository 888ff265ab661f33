#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/peer_identity.h"
#include "platform/peer_identity_linux.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace nimbara {

PeerProcess peerProcessOf(int socketFd) {
    PeerProcess peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        return peer;
    }
    peer.pid = cred.pid > 0 ? cred.pid : -1;
    peer.caller.uid = cred.uid;
    peer.caller.gid = cred.gid;
    peer.caller.groups.resize(64);
    for (;;) {
        len = static_cast<socklen_t>(peer.caller.groups.size() * sizeof(gid_t));
        if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERGROUPS, peer.caller.groups.data(), &len) ==
            0) {
            peer.caller.groups.resize(len / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE || len / sizeof(gid_t) <= peer.caller.groups.size()) {
            peer.caller.groups.clear();  // unknown: the caller acts with its primary group alone
            break;
        }
        peer.caller.groups.resize(len / sizeof(gid_t));
    }
    if (peer.pid < 1) return peer;

    // The kernel's own pidfd for the peer cannot refer to a later process that reused the pid.
    int pidfd = -1;
    len = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) == 0 && pidfd >= 0) {
        peer.pidfd.reset(pidfd);
    } else {
        peer.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0)));
        if (!peer.pidfd) peer.pinError = errno;
    }
    return peer;
}

uid_t peerUidOf(int socketFd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        return static_cast<uid_t>(-1);
    }
    return cred.uid;
}

void releasePeerPin(PeerProcess& peer) {
    peer.pidfd.reset();  // the check is done; do not hold the descriptor for the whole session
}

bool peerUnchanged(const PeerProcess&, int) {
    return true;  // SO_PEERCRED is fixed at connect time: there is nothing newer to compare
}

bool processHasExited(int pidfd) {
    if (pidfd < 0) return true;
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

}  // namespace nimbara
