// SPDX-License-Identifier: Apache-2.0
// OperationTurns: who runs the next file operation. Users take turns: the user whose operation
// ran last goes behind every other user with one waiting, so one user's queue of long copies
// holds another user's operation back by at most the one already running. Each user may have at
// most kMaxOperationsPerUser operations running or waiting. Any thread; one operation runs at a
// time between enter() and leave().
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace nimbara {

// An installer runs its operations one after another; eight leaves room for several of its
// windows at once, while a user's flood waits behind everyone else's turns anyway.
inline constexpr size_t kMaxOperationsPerUser = 8;

class OperationTurns {
  public:
    // Waits for `uid`'s turn and returns true once the caller may run its operation; returns
    // false at once, without waiting, when `uid` already has kMaxOperationsPerUser operations
    // running or waiting.
    bool enter(uid_t uid);
    // Ends the running operation of `uid` and hands the turn on.
    void leave(uid_t uid);

  private:
    struct User {
        size_t queued = 0;             // running or waiting
        std::deque<uint64_t> tickets;  // waiting, in arrival order
    };
    // The next ticket to run, chosen from the user at the head of the turn order.
    void handOn();

    std::mutex mutex_;
    std::condition_variable turn_;
    std::unordered_map<uid_t, User> users_;
    std::deque<uid_t> order_;  // users with an operation waiting, except the running one's user
    std::optional<uid_t> runningUser_;
    std::optional<uint64_t> called_;  // the ticket that may run now
    uint64_t nextTicket_ = 0;
};

// Holds a turn for its lifetime; held() is false when the user was at the cap.
class OperationTurn {
  public:
    OperationTurn(OperationTurns& turns, uid_t uid)
        : turns_(turns), uid_(uid), held_(turns.enter(uid)) {}
    ~OperationTurn() {
        if (held_) turns_.leave(uid_);
    }
    OperationTurn(const OperationTurn&) = delete;
    OperationTurn& operator=(const OperationTurn&) = delete;
    bool held() const { return held_; }

  private:
    OperationTurns& turns_;
    uid_t uid_;
    bool held_;
};

}  // namespace nimbara
