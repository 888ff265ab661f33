// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

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

int attributeSenders(int listenFd) {
    int on = 1;
    return ::setsockopt(listenFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == 0 ? 0 : errno;
}

PeerChunk readFromPeer(int socketFd, char* buf, size_t size, const PeerProcess& peer) {
    // Room for the credentials alone: descriptors a peer sends along are never installed here
    // (the kernel closes what does not fit).
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    iovec iov{buf, size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    PeerChunk chunk;
    do {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        chunk.bytes = ::recvmsg(socketFd, &msg, MSG_CMSG_CLOEXEC);
    } while (chunk.bytes < 0 && errno == EINTR);
    if (chunk.bytes <= 0) return chunk;
    // With SO_PASSCRED the kernel never joins bytes of two senders in one read, and reports
    // the sender's process (not thread) id: the same before and after an exec, which is why
    // the check also demands close-on-exec descriptors.
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            chunk.sender = cred.pid > 0 ? cred.pid : -1;
        }
    }
    chunk.fromPeer = peer.pid > 0 && chunk.sender == peer.pid;
    return chunk;
}

bool processHasExited(int pidfd) {
    if (pidfd < 0) return true;
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

}  // namespace nimbara
