// SPDX-License-Identifier: Apache-2.0
#include "host/connection_limits.h"

#include <poll.h>

#include <algorithm>

namespace nimbara {
namespace {

// True when the peer of the connection `fd` has closed its end: the socket hangs up, whatever
// the peer sent before. Never waits.
bool peerHungUp(int fd) {
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

// Standard descriptors, the listening socket and a spare for the accept that gets refused.
constexpr size_t kFixedDescriptors = 8;

}  // namespace

size_t connectionCapFor(size_t descriptorLimit) {
    size_t others = kOperationDescriptorReserve + 2 * kMaxConcurrentChecks + kFixedDescriptors;
    // A limit too low for the reserve still leaves half of it to the operations.
    size_t cap = descriptorLimit > 2 * others ? descriptorLimit - others : descriptorLimit / 2;
    return std::clamp<size_t>(cap, 1, kMaxConnections);
}

size_t perUserCapFor(size_t totalCap) {
    return std::clamp<size_t>(totalCap / 4, 1, kMaxConnectionsPerUser);
}

ConnectionLimits::ConnectionLimits(size_t totalCap, size_t perUserCap)
    : totalCap_(totalCap), perUserCap_(perUserCap) {}

ConnectionLimits::Admission ConnectionLimits::admit(uid_t uid) {
    std::lock_guard lock(mutex_);
    if (perUser_[uid] >= perUserCap_) dropGoneWaiters(uid, false);
    if (total_ >= totalCap_) dropGoneWaiters(uid, true);
    size_t& mine = perUser_[uid];
    if (mine >= perUserCap_) return Admission::userAtCap;
    if (total_ >= totalCap_) {
        if (mine == 0) perUser_.erase(uid);
        return Admission::serverAtCap;
    }
    ++mine;
    ++total_;
    return Admission::admitted;
}

void ConnectionLimits::release(uid_t uid) {
    std::lock_guard lock(mutex_);
    uncount(uid);
}

void ConnectionLimits::uncount(uid_t uid) {
    auto it = perUser_.find(uid);
    if (it == perUser_.end()) return;
    if (--it->second == 0) perUser_.erase(it);
    --total_;
}

void ConnectionLimits::dropGoneWaiters(uid_t uid, bool all) {
    if (!all) {
        if (auto it = waiting_.find(uid); it != waiting_.end()) dropGoneWaiters(it->second, uid);
        return;
    }
    for (auto& [user, waiters] : waiting_) dropGoneWaiters(waiters, user);
}

void ConnectionLimits::dropGoneWaiters(std::list<Waiter*>& waiters, uid_t uid) {
    for (Waiter* w : waiters) {
        // The descriptor stays open while its connection waits here.
        if (w->gone || !peerHungUp(w->fd)) continue;
        w->gone = true;
        uncount(uid);
        w->wake.notify_one();  // its thread ends without a check
    }
}

bool ConnectionLimits::hasRoom(uid_t uid) const {
    auto it = checksPerUser_.find(uid);
    return checks_ < kMaxConcurrentChecks &&
           (it == checksPerUser_.end() || it->second < kMaxChecksPerUser);
}

void ConnectionLimits::count(uid_t uid) {
    ++checks_;
    ++checksPerUser_[uid];
}

void ConnectionLimits::endCheckLocked(uid_t uid) {
    --checks_;
    if (--checksPerUser_[uid] == 0) checksPerUser_.erase(uid);
    wakeNext();
}

void ConnectionLimits::wakeNext() {
    // Each free place is handed to one waiter, counted for it before it wakes, so that two
    // places freed in a row never wake the same waiter twice.
    for (auto& [user, line] : waiting_) {
        for (Waiter* w : line) {
            if (w->granted || w->gone) continue;
            if (!hasRoom(user)) break;
            count(user);
            w->granted = true;
            w->wake.notify_one();
        }
    }
}

bool ConnectionLimits::beginCheck(uid_t uid, int fd) {
    std::unique_lock lock(mutex_);
    Waiter me;
    me.fd = fd;
    {
        // Each one joins the line and places are handed out from it: waiters whose peer left
        // may still stand in it, not yet awake, with no check running that would end and hand
        // the place on, so the one who comes is given it here.
        std::list<Waiter*>& line = waiting_[uid];
        auto mine = line.insert(line.end(), &me);
        wakeNext();
        me.wake.wait(lock, [&] { return me.gone || me.granted; });
        line.erase(mine);
        if (line.empty()) waiting_.erase(uid);
    }
    // A peer gone by its turn is not worth a check.
    if (!me.gone && peerHungUp(fd)) {
        me.gone = true;
        uncount(uid);
    }
    if (me.gone) {
        if (me.granted) endCheckLocked(uid);  // the place it was handed goes on
        return false;
    }
    return true;
}

void ConnectionLimits::endCheck(uid_t uid) {
    std::lock_guard lock(mutex_);
    endCheckLocked(uid);
}

}  // namespace nimbara
