// SPDX-License-Identifier: Apache-2.0
// The lines file operations write, bounded per user: a long path or error text is shortened in
// its middle so that both ends stay, and each user may write a burst of lines and then about one
// a second; what is held back is counted, and the count follows the user's next line written,
// or anyone's once the user has an allowance again. Root, who can write to the log anyway, is
// not limited. Thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace nimbara {

// Even escaped (at most four bytes for one), two paths and the words around them fit a line.
inline constexpr size_t kMaxLoggedPathBytes = 256;
inline constexpr size_t kMaxLoggedErrorBytes = 768;

// `text` when it has at most `limit` bytes; otherwise its start and its end, joined by "...",
// in `limit` bytes at most, never cutting a UTF-8 sequence.
std::string shortenMiddle(std::string_view text, size_t limit);

class OperationLogLimiter {
  public:
    static constexpr uint64_t kBurstLines = 50;
    static constexpr auto kRefillEvery = std::chrono::seconds(1);
    using Clock = std::chrono::steady_clock;
    using Write = std::function<void(std::string_view)>;

    // Writes `message` for `uid` unless its allowance is spent (then counts it), followed by the
    // count of that user's held-back lines; then the counts of other users who have an allowance
    // again (each count of another user's spends one of that user's lines).
    void log(uid_t uid, std::string_view message, const Write& write,
             Clock::time_point now = Clock::now());

    // "uid N: M more operation lines not logged"
    static std::string heldBackText(uid_t uid, uint64_t count);

  private:
    struct Allowance {
        uint64_t lines = kBurstLines;
        Clock::time_point refilled{};
        uint64_t heldBack = 0;
    };
    // Adds what the time since the last refill earned; true when a line may be written.
    static bool refill(Allowance& a, Clock::time_point now);

    std::mutex mutex_;
    std::unordered_map<uid_t, Allowance> users_;
};

}  // namespace nimbara
