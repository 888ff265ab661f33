// Turns on the operation queue, without the queue: who runs next, and the cap per user.
#include "host/operation_turns.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbara {
namespace {

// While uid 1 runs, it queues more and users 2 and 3 queue one each (in that order): each of
// them runs before uid 1's next one, then uid 1's in its own order. One user's ninth operation
// is refused at once, another user's is not.
TEST(OperationTurns, UsersTakeTurnsInArrivalOrderWithinACap) {
    OperationTurns turns;
    ASSERT_TRUE(turns.enter(1));
    std::mutex m;
    std::string ran;
    std::vector<std::thread> waiting;
    auto queue = [&](uid_t uid, char label) {
        waiting.emplace_back([&, uid, label] {
            ASSERT_TRUE(turns.enter(uid));
            {
                std::lock_guard lock(m);
                ran += label;
            }
            turns.leave(uid);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // arrives before the next
    };
    queue(1, 'a');
    queue(2, 'B');
    queue(1, 'b');
    queue(3, 'C');
    for (size_t i = 0; i < kMaxOperationsPerUser - 3; ++i) queue(1, static_cast<char>('c' + i));
    EXPECT_FALSE(turns.enter(1));
    queue(2, 'D');
    turns.leave(1);
    for (auto& t : waiting) t.join();
    EXPECT_EQ(ran, "BCaDbcdefg");
}

}  // namespace
}  // namespace nimbara
