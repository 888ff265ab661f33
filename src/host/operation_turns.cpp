// SPDX-License-Identifier: Apache-2.0
#include "host/operation_turns.h"

namespace nimbara {

bool OperationTurns::enter(uid_t uid) {
    std::unique_lock lock(mutex_);
    User& user = users_[uid];
    if (user.queued >= kMaxOperationsPerUser) return false;
    ++user.queued;
    const uint64_t ticket = nextTicket_++;
    user.tickets.push_back(ticket);
    // A user that is neither running nor already in line joins the end of the line.
    if (user.tickets.size() == 1 && runningUser_ != uid) order_.push_back(uid);
    if (!runningUser_) handOn();
    turn_.wait(lock, [&] { return called_ == ticket; });
    called_.reset();
    return true;
}

void OperationTurns::leave(uid_t uid) {
    std::lock_guard lock(mutex_);
    User& user = users_[uid];
    if (--user.queued == 0) {
        users_.erase(uid);
    } else if (!user.tickets.empty()) {
        order_.push_back(uid);  // behind everyone who waited while it ran
    }
    runningUser_.reset();
    handOn();
}

void OperationTurns::handOn() {
    if (order_.empty()) return;
    const uid_t uid = order_.front();
    order_.pop_front();
    User& user = users_[uid];
    called_ = user.tickets.front();
    user.tickets.pop_front();
    runningUser_ = uid;
    turn_.notify_all();
}

}  // namespace nimbara
