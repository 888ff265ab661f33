// SPDX-License-Identifier: Apache-2.0
// Serving one accepted connection: the client check, newline framing within the pending-bytes
// limit, and one response line per request, in order; the responses to the lines of one read
// leave together.
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

void appendResponse(std::string& out, const HelperResponse& response) {
    out += encodeResponse(response);
    out += '\n';
}

// Holds one of the limited signature-check slots for its lifetime, unless the peer went away
// while waiting for one (then the connection no longer counts and held() is false).
class CheckSlot {
  public:
    CheckSlot(ConnectionLimits& limits, uid_t uid, int fd)
        : limits_(limits), uid_(uid), held_(limits_.beginCheck(uid_, fd)) {}
    ~CheckSlot() {
        if (held_) limits_.endCheck(uid_);
    }
    CheckSlot(const CheckSlot&) = delete;
    CheckSlot& operator=(const CheckSlot&) = delete;
    bool held() const { return held_; }

  private:
    ConnectionLimits& limits_;
    uid_t uid_;
    bool held_;
};

}  // namespace

void SocketServer::runConnection(int rawFd, uid_t uid) {
    UniqueFd fd(rawFd);
    bool counted = true;
    try {
        handleConnection(fd.get(), uid, counted);
    } catch (const std::exception& e) {
        // Whatever it was, it concerns this connection only: close it, serve the others.
        try {
            log(std::string("Connection closed after an unexpected error: ") + e.what(),
                LogPriority::error);
        } catch (const std::exception&) {
        }
    }
    fd.reset();
    if (counted) limits_.release(uid);
}

void SocketServer::handleConnection(int fd, uid_t uid, bool& counted) {
    if (auto fault = faultForTests.load()) fault("connection");
    PeerProcess peer;
    ProcessCheck check;
    {
        CheckSlot slot(limits_, uid, fd);
        if (!slot.held()) {
            counted = false;  // its peer is gone: closed unanswered, as the peer left it
            return;
        }
        peer = peerProcessOf(fd);
        check = verifyCodeSignature(peer, fd);
        releasePeerPin(peer);  // the check is done; do not hold the pin for the session
    }
    std::string pid = std::to_string(peer.pid);
    // One SIGNATURE_INVALID answer, whatever the reason, and the reason in the log.
    auto refuse = [&](const std::string& reason) {
        std::string refusal;
        appendResponse(refusal, HelperResponse::failure("unknown", kSignatureInvalidText,
                                                        codes::kSignatureInvalid));
        writeAll(fd, refusal);
        logRefusal("Rejected connection: " + reason + " (pid: " + pid + ")");
        discardQueuedInput(fd);
    };
    switch (check.result) {
        case ProcessCheck::Result::valid:
            break;
        case ProcessCheck::Result::couldNotCheck:
            // Nothing is known about the peer: no verdict is sent, the client may try again.
            logRefusal("Rejected connection: signature could not be checked (pid: " + pid +
                       "): " + check.reason);
            return;
        case ProcessCheck::Result::invalid:
            return refuse("signature invalid");
        case ProcessCheck::Result::refused:
            return refuse(check.reason);
    }

    auto chunk = std::make_unique<char[]>(kReadChunkBytes);
    std::string pending;
    std::string responses;
    const ReplyChannel channel{fd, &responses};
    for (;;) {
        PeerChunk got = readFromPeer(fd, chunk.get(), kReadChunkBytes, peer);
        if (got.bytes <= 0) return;
        // Bytes another process wrote on the shared connection are never served.
        if (!got.fromPeer) {
            return refuse("bytes written by " + (got.sender > 0
                                                     ? "pid " + std::to_string(got.sender)
                                                     : std::string("an unknown process")));
        }
        pending.append(chunk.get(), static_cast<size_t>(got.bytes));
        // Checked before framing: an oversized burst is dropped whole.
        if (pending.size() > kMaxPendingBytes) {
            log("Buffer overflow from pid " + pid + ", disconnecting");
            return;
        }
        size_t start = 0;
        for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::string_view line = std::string_view(pending).substr(start, lf - start);
            // Pings, the health check clients poll with, skip the JSON reader when plain.
            if (!appendPlainPingAnswer(responses, line)) {
                appendResponse(responses, processRequest(line, peer.caller, &channel));
            }
        }
        pending.erase(0, start);
        // One write for every answer of this read, before the next read.
        writeAll(fd, responses);  // errors ignored: the next read will notice a dead peer
        responses.clear();
    }
}

void SocketServer::logRefusal(std::string_view message) {
    refusals_.log(message, [](std::string_view line) { log(line); });
}

}  // namespace nimbara
