// SPDX-License-Identifier: Apache-2.0
// The caps on connections and signature checks, without sockets.
#include "host/connection_limits.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace nimbara {
namespace {

using Admission = ConnectionLimits::Admission;

TEST(ConnectionLimits, CapsFollowTheDescriptorLimit) {
    const size_t others = kOperationDescriptorReserve + 2 * kMaxConcurrentChecks + 8;
    // {descriptor limit, connections in all, per user}; too few descriptors for the reserve
    // leave half of them to connections.
    const std::vector<std::array<size_t, 3>> cases{
        {1, 1, 1},
        {64, 32, 8},
        {256, 128, 32},
        {1024, 1024 - others, kMaxConnectionsPerUser},
        {1 << 20, kMaxConnections, kMaxConnectionsPerUser}};
    for (auto [limit, total, perUser] : cases) {
        EXPECT_EQ(connectionCapFor(limit), total) << limit;
        EXPECT_EQ(perUserCapFor(total), perUser) << limit;
    }
}

// One user at their cap leaves room for the others; the total cap holds for everyone; a
// released connection frees its place.
TEST(ConnectionLimits, PerUserThenTotal) {
    ConnectionLimits limits(5, 3);
    const std::vector<std::pair<uid_t, Admission>> steps{
        {1000, Admission::admitted},    {1000, Admission::admitted}, {1000, Admission::admitted},
        {1000, Admission::userAtCap},   {1001, Admission::admitted}, {1002, Admission::admitted},
        {1003, Admission::serverAtCap}, {1000, Admission::userAtCap}};
    for (auto [uid, expected] : steps) EXPECT_EQ(limits.admit(uid), expected) << uid;
    limits.release(1000);
    EXPECT_EQ(limits.admit(1003), Admission::admitted);
    EXPECT_EQ(limits.admit(1000), Admission::serverAtCap);
}

// Checks run at most kMaxConcurrentChecks at once and kMaxChecksPerUser per user.
TEST(ConnectionLimits, ChecksAreBounded) {
    ConnectionLimits limits(100);
    int live[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, live), 0);
    std::mutex m;
    std::vector<int> running(9);  // per uid 0-7, and in all at [8]
    std::vector<int> peak(9);
    std::vector<std::thread> threads;
    for (uid_t i = 0; i < 24; ++i) {
        threads.emplace_back([&, uid = i % 8] {
            ASSERT_TRUE(limits.beginCheck(uid, live[0]));
            auto track = [&](int step) {
                std::lock_guard lock(m);
                for (size_t at : {size_t{uid}, size_t{8}}) {
                    peak[at] = std::max(peak[at], running[at] += step);
                }
            };
            track(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            track(-1);
            limits.endCheck(uid);
        });
    }
    for (auto& t : threads) t.join();
    ::close(live[0]);
    ::close(live[1]);
    EXPECT_EQ(peak[8], int(kMaxConcurrentChecks));
    EXPECT_EQ(*std::max_element(peak.begin(), peak.end() - 1), int(kMaxChecksPerUser));
}

// A connection whose peer is gone by its turn gets no check: it stops counting toward its user's
// cap, and the place it was given, at once or after waiting, goes on to the next one.
TEST(ConnectionLimits, APeerGoneByItsTurnPassesItsPlaceOn) {
    ConnectionLimits limits(100, 2);
    int live[2], gone[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, live), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, gone), 0);
    ::close(gone[1]);
    // A live peer's check begins within 5 s; a lost place is freed, so that nothing hangs.
    auto begins = [&] {
        auto check = std::async(std::launch::async, [&] { return limits.beginCheck(7, live[0]); });
        if (check.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
            return check.get();
        limits.endCheck(7);
        check.get();
        return false;
    };
    ASSERT_EQ(limits.admit(7), Admission::admitted);
    ASSERT_EQ(limits.admit(7), Admission::admitted);
    EXPECT_FALSE(limits.beginCheck(7, gone[0]));  // a place free at once
    EXPECT_EQ(limits.admit(7), Admission::admitted);
    EXPECT_TRUE(begins());
    auto waiter = std::async(std::launch::async, [&] { return limits.beginCheck(7, gone[0]); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until it waits in line
    limits.endCheck(7);
    EXPECT_FALSE(waiter.get());  // a place handed over after waiting
    EXPECT_TRUE(begins());
    limits.endCheck(7);
    EXPECT_EQ(limits.admit(7), Admission::admitted);
    EXPECT_EQ(limits.admit(7), Admission::userAtCap);
    for (int fd : {live[0], live[1], gone[0]}) ::close(fd);
}

// A check ends while the only ones in line are connections whose peers left, not yet awake;
// a connection coming then is checked at once, however long they take to leave the line, and
// the user's cap meets them uncounted once each.
TEST(ConnectionLimits, WaitersWhosePeersLeftHoldUpNoOne) {
    int live[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, live), 0);
    for (int round = 0; round < 10; ++round) {
        // Left behind if a connection hangs, so that the test reports it instead of hanging too.
        auto* limits = new ConnectionLimits(1000, 101);
        ASSERT_EQ(limits->admit(7), Admission::admitted);
        ASSERT_TRUE(limits->beginCheck(7, live[0]));
        std::vector<std::array<int, 2>> peers(100);
        std::vector<std::thread> waiters;
        for (auto& p : peers) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, p.data()), 0);
            ASSERT_EQ(limits->admit(7), Admission::admitted);
            waiters.emplace_back([limits, fd = p[0]] { EXPECT_FALSE(limits->beginCheck(7, fd)); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // until they wait in line
        for (auto& p : peers) ::close(p[1]);
        // Admitted up to the cap again, however often it is met before they leave the line.
        size_t admitted = 0;
        while (limits->admit(7) == Admission::admitted) ++admitted;
        EXPECT_EQ(admitted, peers.size()) << "round " << round;
        limits->endCheck(7);
        auto next = std::make_shared<std::promise<bool>>();
        auto checked = next->get_future();
        std::thread([limits, next, fd = live[0]] {
            next->set_value(limits->beginCheck(7, fd));
        }).detach();
        if (checked.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            for (auto& w : waiters) w.detach();
            FAIL() << "round " << round << ": the connection after them still waits";
        }
        EXPECT_TRUE(checked.get());
        limits->endCheck(7);
        for (auto& w : waiters) w.join();
        for (auto& p : peers) ::close(p[0]);
        delete limits;
    }
    ::close(live[0]);
    ::close(live[1]);
}

}  // namespace
}  // namespace nimbara
