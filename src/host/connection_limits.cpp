#include "host/connection_limits.h"

#include <algorithm>

namespace nimbara {
namespace {

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
    auto it = perUser_.find(uid);
    if (it == perUser_.end()) return;
    if (--it->second == 0) perUser_.erase(it);
    --total_;
}

void ConnectionLimits::beginCheck(uid_t uid) {
    std::unique_lock lock(mutex_);
    checkFree_.wait(lock, [&] {
        auto it = checksPerUser_.find(uid);
        return checks_ < kMaxConcurrentChecks &&
               (it == checksPerUser_.end() || it->second < kMaxChecksPerUser);
    });
    ++checks_;
    ++checksPerUser_[uid];
}

void ConnectionLimits::endCheck(uid_t uid) {
    {
        std::lock_guard lock(mutex_);
        --checks_;
        if (--checksPerUser_[uid] == 0) checksPerUser_.erase(uid);
    }
    checkFree_.notify_all();  // the waiter that can go may be any user's
}

}  // namespace nimbara
