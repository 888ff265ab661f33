// SPDX-License-Identifier: Apache-2.0
#include "host/operation_log.h"

#include <iterator>

namespace nimbara {
namespace {

constexpr std::string_view kMiddleMarker = "...";

bool continuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

}  // namespace

std::string shortenMiddle(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    if (limit < kMiddleMarker.size()) return std::string(kMiddleMarker.substr(0, limit));
    size_t keep = limit - kMiddleMarker.size();
    size_t head = keep - keep / 2;
    size_t tail = text.size() - keep / 2;
    // Back off to the start of a sequence at the cut, forward to one at the resumption.
    while (head > 0 && continuationByte(text[head])) --head;
    while (tail < text.size() && continuationByte(text[tail])) ++tail;
    std::string out(text.substr(0, head));
    out += kMiddleMarker;
    out += text.substr(tail);
    return out;
}

bool OperationLogLimiter::refill(Allowance& a, Clock::time_point now) {
    if (now > a.refilled) {
        auto earned = static_cast<uint64_t>((now - a.refilled) / kRefillEvery);
        if (a.lines + earned >= kBurstLines || earned >= kBurstLines) {
            a.lines = kBurstLines;
            a.refilled = now;
        } else if (earned > 0) {
            a.lines += earned;
            a.refilled += earned * kRefillEvery;
        }
    }
    return a.lines > 0;
}

void OperationLogLimiter::log(uid_t uid, std::string_view message, const Write& write,
                              Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (uid == 0) {
        write(message);
    } else {
        auto [it, fresh] = users_.try_emplace(uid);
        if (fresh) it->second.refilled = now;
        Allowance& mine = it->second;
        if (!refill(mine, now)) {
            ++mine.heldBack;
        } else {
            --mine.lines;
            write(message);
            // After the line itself, so that an operation's own line is always its first.
            if (mine.heldBack > 0) write(heldBackText(uid, mine.heldBack));
            mine.heldBack = 0;
        }
    }
    // Other users' counts go out once they could have written a line themselves.
    for (auto at = users_.begin(); at != users_.end();) {
        Allowance& a = at->second;
        if (a.heldBack > 0 && refill(a, now)) {
            --a.lines;
            write(heldBackText(at->first, a.heldBack));
            a.heldBack = 0;
        }
        // A user back at a full allowance with nothing held back needs no record.
        refill(a, now);
        bool idle = a.heldBack == 0 && a.lines == kBurstLines;
        at = idle ? users_.erase(at) : std::next(at);
    }
}

std::string OperationLogLimiter::heldBackText(uid_t uid, uint64_t count) {
    return "uid " + std::to_string(uid) + ": " + std::to_string(count) +
           " more operation lines not logged";
}

}  // namespace nimbara
