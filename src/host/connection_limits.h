// SPDX-License-Identifier: Apache-2.0
// What every user shares, bounded: how many connections may be open at once, per uid and in
// all, and how many client signature checks may run at once. One instance per SocketServer;
// every method is thread-safe.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <unordered_map>

namespace nimbara {

// The installer application needs one connection, a few at most; 64 leaves room for several
// of its processes and for a test harness, and 64 idle threads cost one user little memory.
inline constexpr size_t kMaxConnectionsPerUser = 64;
// Sixteen users at their cap; each connection holds one thread and one descriptor.
inline constexpr size_t kMaxConnections = 1024;
// A check reads and hashes the whole executable: CPU-bound, so more than the cores of a small
// machine buys nothing, and each running check holds two more descriptors (pidfd, image).
inline constexpr size_t kMaxConcurrentChecks = 4;
// One user's checks run one at a time, so a check that hangs (an executable on a file system
// that never answers) holds up only that user's own connections.
inline constexpr size_t kMaxChecksPerUser = 1;
// Descriptors kept free for the operation queue: a copy holds a source and a destination folder
// per level of the tree at its depth limit (2 x 128), plus the files in flight and the log.
inline constexpr size_t kOperationDescriptorReserve = 320;

// The total connection cap that the descriptor limit `descriptorLimit` can carry next to the
// reserve, the running checks and the standard and listening descriptors; at most
// kMaxConnections, at least 1.
size_t connectionCapFor(size_t descriptorLimit);

// A user's share of `totalCap`: a quarter at most, so that a user at their cap never fills the
// server, and never more than kMaxConnectionsPerUser.
size_t perUserCapFor(size_t totalCap);

class ConnectionLimits {
  public:
    enum class Admission { admitted, userAtCap, serverAtCap };

    ConnectionLimits(size_t totalCap, size_t perUserCap);
    explicit ConnectionLimits(size_t totalCap)
        : ConnectionLimits(totalCap, perUserCapFor(totalCap)) {}

    // Counts a new connection of `uid` unless that would pass a cap; the user's cap is checked
    // first, so a user at their cap is told so even when the server is full. At a cap, the
    // connections waiting for a check whose peer has gone are uncounted first.
    Admission admit(uid_t uid);
    // Uncounts a connection that admit() let in.
    void release(uid_t uid);

    // Waits until fewer than kMaxConcurrentChecks checks run in all and fewer than
    // kMaxChecksPerUser for `uid`, then counts one and returns true. Returns false when the
    // peer of `fd`, an admitted connection of `uid`, went away meanwhile: that connection no
    // longer counts (release() is not to be called for it), and no check was counted.
    bool beginCheck(uid_t uid, int fd);
    void endCheck(uid_t uid);

  private:
    struct Waiter {
        int fd = -1;
        bool gone = false;
        bool granted = false;          // a place was counted for it
        std::condition_variable wake;  // each waiter is woken alone, never the whole line
    };
    // Hands the free places to waiters, in each user's arrival order, as their users may start
    // a check. These four are called with the mutex held.
    void wakeNext();
    bool hasRoom(uid_t uid) const;
    void count(uid_t uid);
    void endCheckLocked(uid_t uid);
    // Uncounts the connections of `uid` (of every user when `all`) whose peer has closed while
    // they wait for a check. Called with the mutex held.
    void dropGoneWaiters(uid_t uid, bool all);
    void dropGoneWaiters(std::list<Waiter*>& waiters, uid_t uid);
    // Uncounts one connection of `uid`. Called with the mutex held.
    void uncount(uid_t uid);

    const size_t totalCap_;
    const size_t perUserCap_;
    std::mutex mutex_;
    std::unordered_map<uid_t, size_t> perUser_;
    size_t total_ = 0;
    size_t checks_ = 0;
    std::unordered_map<uid_t, size_t> checksPerUser_;
    std::unordered_map<uid_t, std::list<Waiter*>> waiting_;  // for a check, in arrival order
};

}  // namespace nimbara
