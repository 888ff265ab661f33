// SPDX-License-Identifier: Apache-2.0
#include "host/socket_server.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <thread>

#include "base/sys.h"
#include "base/unique_fd.h"
#include "host/log.h"
#include "operations/bundle_ops.h"
#include "operations/tree_walk.h"
#include "platform/peer_identity.h"
#include "platform/sockets.h"

namespace nimbara {
namespace {

constexpr auto kExhaustionPause = std::chrono::milliseconds(50);

const char* prefixFor(SocketError::Kind kind) {
    switch (kind) {
        case SocketError::Kind::createFailed:
            return "socket() failed: ";
        case SocketError::Kind::bindFailed:
            return "bind() failed: ";
        case SocketError::Kind::listenFailed:
            return "listen() failed: ";
        case SocketError::Kind::pathTooLong:
            return "Socket path exceeds sockaddr_un limit";
        case SocketError::Kind::notListeningHere:
            return "The socket from the service manager is not a listening socket at the "
                   "helper's path";
    }
    return "";
}

// Zero-filled address with the path copied in; false when it does not fit the field.
bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// What was removed from the socket path: a socket a dead server left, or a file of another
// kind that only took its place (an administrator's or an attacker's, worth saying so).
std::string leftoverText(mode_t mode, const std::string& path) {
    if (S_ISSOCK(mode)) return "Cleaned up stale socket at " + path;
    const char* kind = S_ISREG(mode)    ? "a regular file"
                       : S_ISLNK(mode)  ? "a symbolic link"
                       : S_ISFIFO(mode) ? "a FIFO"
                                        : "a file that is not a socket";
    return std::string("Removed ") + kind + " at " + path + ", where the socket belongs";
}

// True when `fd` is a listening stream socket bound to the file at `path` (compared by inode,
// so /run and its /var/run link name the same file).
bool listensAt(int fd, const std::string& path) {
    int type = 0, listening = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        return false;
    }
    len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) {
        return false;
    }
    sockaddr_un bound{};
    len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0 ||
        bound.sun_family != AF_UNIX || len <= offsetof(sockaddr_un, sun_path)) {
        return false;
    }
    std::string boundPath(bound.sun_path, strnlen(bound.sun_path, sizeof bound.sun_path));
    struct stat a, b;
    return !boundPath.empty() && ::stat(boundPath.c_str(), &a) == 0 &&
           ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

SocketError::SocketError(Kind kind, int err)
    : kind_(kind), err_(err), description_(prefixFor(kind)) {
    if (kind != Kind::pathTooLong && kind != Kind::notListeningHere) {
        description_ += errnoText(err);
    }
}

SocketServer::SocketServer(std::string socketPath, std::string stateFolder)
    : socketPath_(std::move(socketPath)),
      stateFolder_(std::move(stateFolder)),
      limits_(connectionCapFor(raiseDescriptorLimit())) {}

void SocketServer::log(std::string_view message, LogPriority priority) {
    writeLogLine(message, priority);
}

void SocketServer::adoptListeningSocket(int fd) {
    std::lock_guard lock(lifecycle_);
    serverSocket_.store(fd);
    adopted_ = true;
}

void SocketServer::start() {
    std::lock_guard lock(lifecycle_);
    // Holding the state folder's lock makes this the only helper (a second one fails here).
    claimStateFolder();
    if (adopted_) {
        if (!listensAt(serverSocket_.load(), socketPath_)) throw SocketError::notListeningHere();
        // Connections not yet accepted carry their senders already; accepted ones take this on.
        if (int err = attributeSenders(serverSocket_.load()); err != 0)
            throw SocketError::createFailed(err);
    } else {
        bindSocket();
    }
    // Sole instance: what the record names is no one's work in progress.
    if (journalOpen_) {
        sweepLeftovers(journal_, [](const std::string& line) { log(line); });
    } else if (!journalTrouble_.empty()) {
        // Copies still work; only the leftovers of a crash would then stay until removed.
        log("Cannot keep a record of staged copies: " + journalTrouble_, LogPriority::error);
    }
    if (!adopted_) openAndListen();
    log("Listening on " + socketPath_);
    acceptQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->acceptLoop();
    });
}

void SocketServer::bindSocket() {
    // Even the only helper leaves a socket someone listens on: the service manager's, held for
    // it while it was started by hand. It then fails to bind instead of taking the path away.
    cleanupStaleSocket();
    int fd = openLocalSocket();
    serverSocket_.store(fd);
    if (fd < 0) throw SocketError::createFailed(errno);
    // Every chunk a client sends is attributed to its sender, so bytes of another process
    // sharing the connection are never served.
    if (int err = attributeSenders(fd); err != 0) {
        ::close(serverSocket_.exchange(-1));
        throw SocketError::createFailed(err);
    }

    sockaddr_un addr;
    if (socketPath_.size() > kMaxSocketPathBytes || !makeAddress(socketPath_, addr)) {
        ::close(serverSocket_.exchange(-1));
        throw SocketError::pathTooLong();
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(serverSocket_.exchange(-1));
        throw SocketError::bindFailed(err);
    }
}

void SocketServer::openAndListen() {
    // Any local process may connect; each peer is vetted by its code signature instead.
    if (::chmod(socketPath_.c_str(), 0666) != 0) {
        int err = errno;
        ::close(serverSocket_.exchange(-1));
        throw std::system_error(err, std::generic_category(),
                                "Cannot set the permissions of " + socketPath_);
    }
    if (::listen(serverSocket_.load(), kListenBacklog) != 0) {
        int err = errno;
        ::close(serverSocket_.exchange(-1));
        throw SocketError::listenFailed(err);
    }
}

void SocketServer::shutdown() {
    std::lock_guard lock(lifecycle_);
    int fd = serverSocket_.exchange(-1);
    if (adopted_) {
        // The socket is shared with the service manager, which queues new clients on it for the
        // next start: shutdown(2) would refuse them for good, and the file is its to remove.
        if (fd >= 0) ::close(fd);
        return;
    }
    if (fd >= 0) {
        // Where the system lets shutdown() wake a blocked accept(), it does so here; where it
        // refuses a listening socket (ENOTCONN), close() wakes it instead (ECONNABORTED, after
        // it waited for accept() to return). Either way the loop then finds serverSocket -1.
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
    ::unlink(socketPath_.c_str());
}

bool SocketServer::stop(std::chrono::milliseconds bound) {
    auto start = std::chrono::steady_clock::now();
    // First, so that a start-up sweep still running gives up in time too.
    requestStop(start + bound * 2 / 3);
    shutdown();
    auto left = bound - std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start);
    return operationQueue_.drainFor(std::max(left, std::chrono::milliseconds(0)));
}

bool SocketServer::claimStateFolder() {
    if (stateFolder_.empty()) return false;
    try {
        journal_.open(stateFolder_);
        journalOpen_ = true;
    } catch (const JournalHeldElsewhere&) {
        // Another instance serves at the socket path: the same failure as binding beside it.
        throw SocketError::bindFailed(EADDRINUSE);
    } catch (const FsFailure& failure) {
        journalTrouble_ = failure.what();  // said once bound: a run that cannot bind says only that
    }
    return journalOpen_;
}

void SocketServer::cleanupStaleSocket() {
    struct stat st;
    if (::lstat(socketPath_.c_str(), &st) != 0) return;
    // Non-blocking, so a live server with a full backlog answers EAGAIN instead of stalling us.
    UniqueFd probe(openLocalSocket(/*nonBlocking=*/true));
    if (!probe) {
        ::unlink(socketPath_.c_str());
        return;
    }
    sockaddr_un addr;
    bool fits = makeAddress(socketPath_, addr);
    int rc = fits ? ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) : -1;
    if (rc == 0 || (fits && errno == EAGAIN)) return;  // someone is listening there
    if (::unlink(socketPath_.c_str()) == 0) log(leftoverText(st.st_mode, socketPath_));
}

void SocketServer::acceptLoop() {
    for (int listenFd; (listenFd = serverSocket_.load()) >= 0;) {
        int fd = acceptConnection(listenFd);
        if (fd >= 0) {
            admitConnection(fd);
            continue;
        }
        int err = errno;
        if (err == EBADF || err == EINVAL) break;
        // Out of descriptors or memory: pause instead of spinning on an error that persists.
        if (isResourceShortage(err)) std::this_thread::sleep_for(kExhaustionPause);
    }
}

void SocketServer::admitConnection(int fd) {
    uid_t uid = peerUidOf(fd);
    ConnectionLimits::Admission admission = limits_.admit(uid);
    if (admission != ConnectionLimits::Admission::admitted) {
        ::close(fd);  // no answer: a refusal per connection would be work done for the flood
        try {
            logRefusal(admission == ConnectionLimits::Admission::userAtCap
                           ? "Rejected connection: too many connections from uid " +
                                 std::to_string(uid)
                           : "Rejected connection: too many connections in all (uid: " +
                                 std::to_string(uid) + ")");
        } catch (const std::exception&) {
        }
        return;
    }
    try {
        std::thread([weak = weak_from_this(), fd, uid] {
            if (auto self = weak.lock()) {
                self->runConnection(fd, uid);
            } else {
                ::close(fd);
            }
        }).detach();
    } catch (const std::exception&) {
        limits_.release(uid);
        ::close(fd);  // no thread to serve it
    }
}

}  // namespace nimbara
