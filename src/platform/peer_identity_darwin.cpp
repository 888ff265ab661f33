// SPDX-License-Identifier: Apache-2.0
#include <bsm/libbsm.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>

#include <cstring>

#include "base/sys.h"
#include "platform/peer_identity.h"

namespace nimbara {
namespace {

static_assert(sizeof(audit_token_t) == sizeof(PeerProcess::auditToken));

// The kernel's audit token for the process that last used the peer's end of `socketFd`.
bool readToken(int socketFd, audit_token_t& token) {
    socklen_t len = sizeof token;
    return ::getsockopt(socketFd, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &len) == 0 &&
           len == sizeof token;
}

}  // namespace

PeerProcess peerProcessOf(int socketFd) {
    PeerProcess peer;
    audit_token_t token;
    if (!readToken(socketFd, token)) {
        peer.pinError = errno;  // without the token there is nothing to check against
        return peer;
    }
    // pid, uid and gid all come from the one token the signature check is made against.
    pid_t pid = audit_token_to_pid(token);
    peer.pid = pid > 0 ? pid : -1;
    peer.caller.uid = audit_token_to_euid(token);
    peer.caller.gid = audit_token_to_egid(token);
    // The token carries no supplementary groups. They stay empty: a thread acting for the caller
    // (pthread_setugid_np) has its group membership resolved by the kernel for the caller's uid,
    // the same way the caller's own processes are judged.
    std::memcpy(peer.auditToken.data(), &token, sizeof token);
    return peer;
}

uid_t peerUidOf(int socketFd) {
    xucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(socketFd, SOL_LOCAL, LOCAL_PEERCRED, &cred, &len) != 0 || len != sizeof cred ||
        cred.cr_version != XUCRED_VERSION) {
        return static_cast<uid_t>(-1);
    }
    return cred.cr_uid;  // as the kernel recorded it at connect time
}

void releasePeerPin(PeerProcess&) {
    // The token is plain data and holds nothing open; it stays for readFromPeer.
}

int attributeSenders(int) {
    return 0;  // the kernel keeps no per-chunk sender on this system; readFromPeer asks per read
}

PeerChunk readFromPeer(int socketFd, char* buf, size_t size, const PeerProcess& peer) {
    PeerChunk chunk;
    chunk.bytes = readSome(socketFd, buf, size);
    if (chunk.bytes <= 0) return chunk;
    // The token names pid and pid version: another process, or the same one after an exec,
    // gives a different token. It names the process that last used the peer's socket, not
    // necessarily the writer of these bytes.
    audit_token_t now;
    if (!readToken(socketFd, now)) return chunk;
    chunk.sender = audit_token_to_pid(now);
    chunk.fromPeer = std::memcmp(&now, peer.auditToken.data(), sizeof now) == 0;
    return chunk;
}

}  // namespace nimbara
