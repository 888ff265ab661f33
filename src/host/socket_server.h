// SPDX-License-Identifier: Apache-2.0
// SocketServer: the daemon's one listening Unix-domain socket, the accept loop, per-connection
// service, request dispatch and the operation handlers. One instance lives for the whole process.
// serverSocket is the only field that changes after start(); it is atomic. File operations run
// on operationQueue and nowhere else, each once its user's turn has come (host/operation_turns.h);
// connections run each on a thread of their own, within the caps of host/connection_limits.h. No
// exception ends a thread: an operation that throws answers OP_FAILED, a connection that throws is
// closed.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "host/connection_limits.h"
#include "host/log.h"
#include "host/operation_log.h"
#include "host/operation_turns.h"
#include "host/progress_lines.h"
#include "host/serial_queue.h"
#include "operations/staging_journal.h"
#include "platform/caller.h"
#include "protocol/messages.h"

namespace nimbara {

inline constexpr const char* kSocketPath = "/var/run/com.corvellan.nimbara.helper.sock";
inline constexpr const char* kOperationQueueLabel = "com.corvellan.nimbara.helper.ops";
inline constexpr const char* kAcceptQueueLabel = "com.corvellan.nimbara.helper.accept";
// sun_path holds 104 bytes on the shipping platform; one is the terminating NUL.
inline constexpr size_t kMaxSocketPathBytes = 103;
// As many as the system allows: where the queue is full, some systems refuse a client at once.
inline constexpr int kListenBacklog = SOMAXCONN;

// Why start() failed to set up the socket.
class SocketError : public std::exception {
  public:
    enum class Kind { createFailed, bindFailed, listenFailed, pathTooLong, notListeningHere };

    static SocketError createFailed(int err) { return {Kind::createFailed, err}; }
    static SocketError bindFailed(int err) { return {Kind::bindFailed, err}; }
    static SocketError listenFailed(int err) { return {Kind::listenFailed, err}; }
    static SocketError pathTooLong() { return {Kind::pathTooLong, 0}; }
    static SocketError notListeningHere() { return {Kind::notListeningHere, 0}; }

    Kind kind() const { return kind_; }
    int error() const { return err_; }
    // "socket() failed: <strerror>", "bind() failed: ...", "listen() failed: ...", or
    // "Socket path exceeds sockaddr_un limit", or "The socket from the service manager is not a
    // listening socket at the helper's path".
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    SocketError(Kind kind, int err);
    Kind kind_;
    int err_;
    std::string description_;
};

class SocketServer : public std::enable_shared_from_this<SocketServer> {
  public:
    // Creates the two queues and stores the paths; touches neither files nor network. Raises the
    // process's descriptor limit to the hard limit and sizes the connection cap to it.
    // `stateFolder` keeps the record of staged copies; empty keeps it in memory only.
    explicit SocketServer(std::string socketPath, std::string stateFolder = "");

    // Serves on `fd`, a listening socket the service manager made at the socket path, instead
    // of binding one: start() then only checks it, and the file stays the service manager's (no
    // stale check, no removal at shutdown). Takes ownership. Call before start().
    void adoptListeningSocket(int fd);

    // Removes what staged copies an earlier run left behind and a stale socket file, binds,
    // opens the file to mode 0666, listens and queues the accept loop. With an adopted socket,
    // checks that it listens at the socket path and queues the accept loop. Throws SocketError,
    // or std::system_error when the mode cannot be set.
    void start();

    // Closes the listening socket, resets serverSocket to -1 and unlinks the socket file (one
    // the helper bound itself). Safe to call at any time, also before or during start().
    void shutdown();

    // shutdown(), then has the running file operation give up (removing what it staged) and
    // later ones refuse, waiting at most `bound` for the operation queue to settle.
    // True when it settled in time.
    bool stop(std::chrono::milliseconds bound);

    // Writes one log line (see host/log.h); any thread.
    static void log(std::string_view message, LogPriority priority = LogPriority::info);

    // Decodes one request line and answers it; never throws. Runs on connection threads. A copy
    // that asks for progress writes its progress lines to `channel` (none: it gets none).
    HelperResponse processRequest(std::string_view line, const Caller& caller,
                                  const ReplyChannel* channel = nullptr);

    const std::string& socketPath() const { return socketPath_; }
    int serverSocket() const { return serverSocket_.load(); }

    // Tests only: when set, called with "connection" as a connection's service begins and with
    // "operation" as an operation begins on the queue, so that a test can make either throw.
    static inline std::atomic<void (*)(const char* where)> faultForTests{nullptr};

  private:
    void cleanupStaleSocket();
    // socket(), bind() at socketPath (after removing a leftover there), in serverSocket.
    void bindSocket();
    // chmod 0666 and listen() on the socket bound by bindSocket().
    void openAndListen();
    // Opens and locks the state folder; false when it cannot be used. Throws when another
    // instance holds it.
    bool claimStateFolder();
    void acceptLoop();
    // Admits the connection of a new descriptor, or closes it at once when its user or the
    // server is at the cap.
    void admitConnection(int fd);
    // A connection thread's body: serves `fd`, closes it, and uncounts it for `uid`.
    void runConnection(int fd, uid_t uid);
    // Serves `fd`; clears `counted` when the connection stopped counting toward its user's cap
    // (its peer went away while it waited for the client check).
    void handleConnection(int fd, uid_t uid, bool& counted);
    // Logs a refused connection, within the refusal rate limit.
    void logRefusal(std::string_view message);

    HelperResponse handleCopy(const HelperRequest& request, const Caller& caller,
                              const ReplyChannel* channel);
    HelperResponse handleRemove(const HelperRequest& request, const Caller& caller);
    HelperResponse handleMkdir(const HelperRequest& request, const Caller& caller);
    // remove and mkdir: the target is dest, else path; validated, then run on the queue.
    HelperResponse handleTargetOperation(const HelperRequest& request, const Caller& caller,
                                         const char* op, const char* requiresText,
                                         const std::function<void(const std::string&)>& action);
    // Waits for `uid`'s turn, then runs `action` on operationQueue, waiting for it; answers and
    // logs "<op>: <subject>" or "<op> failed: <error>", that error the answer's reason. Any other
    // exception from `action` fails the operation the same way; a user with too many operations
    // waiting is refused at once.
    HelperResponse runOperation(const std::string& id, const char* op, const std::string& subject,
                                uid_t uid, const std::function<void()>& action);
    // Logs a line of an operation of `uid`, within that user's allowance.
    void logOperation(uid_t uid, std::string_view message);

    const std::string socketPath_;
    const std::string stateFolder_;
    StagingJournal journal_;  // used on operationQueue only, once serving
    bool journalOpen_ = false;
    std::string journalTrouble_;  // why the state folder could not be used
    std::atomic<int> serverSocket_{-1};
    bool adopted_ = false;  // serverSocket came from the service manager
    SerialQueue operationQueue_{kOperationQueueLabel};
    SerialQueue acceptQueue_{kAcceptQueueLabel};
    std::mutex lifecycle_;  // start() and shutdown() never interleave
    ConnectionLimits limits_;
    RefusalLogLimiter refusals_;
    OperationTurns turns_;
    OperationLogLimiter operationLines_;
};

}  // namespace nimbara
