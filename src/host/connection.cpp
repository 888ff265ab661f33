// Serving one accepted connection: the client check, newline framing within the pending-bytes
// limit, and one response line per request, in order.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "base/sys.h"
#include "base/unique_fd.h"
#include "host/socket_server.h"
#include "policy/client_requirement.h"

namespace nimbara {
namespace {

constexpr size_t kReadChunkBytes = 4096;
constexpr size_t kMaxPendingBytes = 65536;
constexpr const char* kSignatureInvalidText = "Code signature verification failed";

// Closing a socket whose receive queue still holds data resets the connection, and the peer
// would lose the refusal written just before. Queued bytes are dropped unread (never parsed).
void discardQueuedInput(int fd) {
    ::shutdown(fd, SHUT_WR);
    char sink[kReadChunkBytes];
    for (size_t dropped = 0; dropped < kMaxPendingBytes;) {
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        dropped += static_cast<size_t>(n);
    }
}

}  // namespace

void SocketServer::handleConnection(int rawFd) {
    UniqueFd fd(rawFd);
    PeerProcess peer = peerProcessOf(fd.get());
    auto reject = [&] {
        writeResponse(
            HelperResponse::failure("unknown", kSignatureInvalidText, codes::kSignatureInvalid),
            fd.get());
        log("Rejected connection: signature invalid (pid: " + std::to_string(peer.pid) + ")");
        discardQueuedInput(fd.get());
    };
    if (peer.pid < 1 || !verifyCodeSignature(peer)) return reject();
    releasePeerPin(peer);

    auto chunk = std::make_unique<char[]>(kReadChunkBytes);
    std::string pending;
    for (;;) {
        ssize_t n = readSome(fd.get(), chunk.get(), kReadChunkBytes);
        if (n <= 0) return;
        pending.append(chunk.get(), static_cast<size_t>(n));
        // Checked before framing: an oversized burst is dropped whole.
        if (pending.size() > kMaxPendingBytes) {
            log("Buffer overflow from pid " + std::to_string(peer.pid) + ", disconnecting");
            return;
        }
        // The bytes just read must come from the process that was checked, not from another
        // one that shares the descriptor (where the system can tell).
        if (!peerUnchanged(peer, fd.get())) return reject();
        size_t start = 0;
        for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
            writeResponse(
                processRequest(std::string_view(pending).substr(start, lf - start), peer.caller),
                fd.get());
        }
        pending.erase(0, start);
    }
}

void SocketServer::writeResponse(const HelperResponse& response, int fd) {
    std::string line = encodeResponse(response);
    line += '\n';
    writeAll(fd, line);  // errors ignored: the next read will notice a dead peer
}

}  // namespace nimbara
