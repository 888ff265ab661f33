// The caps on connections and signature checks, without sockets.
#include "host/connection_limits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace nimbara {
namespace {

using Admission = ConnectionLimits::Admission;

TEST(ConnectionLimits, CapFollowsTheDescriptorLimit) {
    const std::vector<std::pair<size_t, size_t>> cases{
        {64, 32},  // too few for the reserve: half for connections, half for the rest
        {1024, 1024 - kOperationDescriptorReserve - 2 * kMaxConcurrentChecks - 8},
        {1 << 20, kMaxConnections},
        {1, 1},
    };
    for (auto [limit, cap] : cases) EXPECT_EQ(connectionCapFor(limit), cap) << limit;
    EXPECT_EQ(perUserCapFor(kMaxConnections), kMaxConnectionsPerUser);
    EXPECT_EQ(perUserCapFor(32), 8u);
    EXPECT_EQ(perUserCapFor(2), 1u);
}

// One user at their cap leaves room for the others; the total cap holds for everyone; a
// released connection frees its place.
TEST(ConnectionLimits, PerUserThenTotal) {
    ConnectionLimits limits(5, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(limits.admit(1000), Admission::admitted);
    EXPECT_EQ(limits.admit(1000), Admission::userAtCap);
    EXPECT_EQ(limits.admit(1001), Admission::admitted);
    EXPECT_EQ(limits.admit(1002), Admission::admitted);
    EXPECT_EQ(limits.admit(1003), Admission::serverAtCap);
    EXPECT_EQ(limits.admit(1000), Admission::userAtCap);
    limits.release(1000);
    EXPECT_EQ(limits.admit(1003), Admission::admitted);
    EXPECT_EQ(limits.admit(1000), Admission::serverAtCap);
}

// Checks run at most kMaxConcurrentChecks at once and one at a time per user.
TEST(ConnectionLimits, ChecksAreBounded) {
    ConnectionLimits limits(100);
    std::mutex m;
    int running = 0;
    int peak = 0;
    std::vector<int> perUser(8);
    int peakPerUser = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 24; ++i) {
        uid_t uid = static_cast<uid_t>(i % 8);
        threads.emplace_back([&, uid] {
            limits.beginCheck(uid);
            {
                std::lock_guard lock(m);
                peak = std::max(peak, ++running);
                peakPerUser = std::max(peakPerUser, ++perUser[uid]);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            {
                std::lock_guard lock(m);
                --running;
                --perUser[uid];
            }
            limits.endCheck(uid);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(peak, int(kMaxConcurrentChecks));
    EXPECT_EQ(peakPerUser, int(kMaxChecksPerUser));
}

}  // namespace
}  // namespace nimbara
