// SPDX-License-Identifier: Apache-2.0
#include "host/log.h"
#include "host/operation_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace nimbara {
namespace {

TEST(LogLine, FramingInUtcWholeSeconds) {
    // 2026-12-05T10:34:16Z
    const std::time_t when = 1796466856;
    for (const char* tz : {"UTC", "America/Los_Angeles", "Asia/Kolkata"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(formatLogLine(when, "Stopped"), "[2026-12-05T10:34:16Z] [helper] Stopped\n");
    }
    ::unsetenv("TZ");
    EXPECT_EQ(formatLogLine(when, ""), "[2026-12-05T10:34:16Z] [helper] \n");
}

// No byte of a message can end the line or pass for an escape of its own.
TEST(LogLine, VariablePartsCannotForgeLines) {
    const std::time_t when = 1796466856;
    const std::string head = "[2026-12-05T10:34:16Z] [helper] ";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"x\n[2030-01-01T00:00:00Z] [helper] Stopped",
         "x\\n[2030-01-01T00:00:00Z] [helper] Stopped"},
        {"a\rb\tc\x1b[2Jd\x7f", "a\\rb\\tc\\x1b[2Jd\\x7f"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"back\\n slash", "back\\\\n slash"},
        {"caf\u00e9 \xff \xc2\x85 \u2028 \xc2\x9b", "caf\u00e9 \\xff \\u0085 \\u2028 \\u009b"},
    };
    for (const auto& [message, escaped] : cases) {
        EXPECT_EQ(formatLogLine(when, message), head + escaped + "\n");
    }
    // Long messages are cut to one atomic write, never inside an escape.
    std::string line = formatLogLine(when, std::string(kMaxLogLineBytes, '\n'));
    EXPECT_LE(line.size(), kMaxLogLineBytes);
    EXPECT_EQ(line.substr(line.size() - 6), "\\n...\n");
}

TEST(LogLine, RefusalsAreRateLimited) {
    RefusalLogLimiter limiter;
    std::vector<std::string> lines;
    auto write = [&](std::string_view l) { lines.emplace_back(l); };
    auto t0 = RefusalLogLimiter::Clock::now();
    for (int i = 0; i < 1000; ++i) limiter.log("refused", write, t0);
    EXPECT_EQ(lines.size(), size_t(RefusalLogLimiter::kLinesPerWindow));
    limiter.log("later", write, t0 + RefusalLogLimiter::kWindow);
    EXPECT_EQ(lines.size(), size_t(RefusalLogLimiter::kLinesPerWindow + 2));
    EXPECT_EQ(lines[lines.size() - 2], "Rejected connection: 995 more refusals not logged");
    EXPECT_EQ(lines.back(), "later");
}

// A path shortened in its middle (the sandbox shows both ends kept) never keeps half a character.
TEST(LogLine, ShortenedPathsKeepWholeCharacters) {
    EXPECT_EQ(shortenMiddle("aaaaaa\xc3\xa9mmmmmmmmmm\xc3\xa9zzzzzz", 17), "aaaaaa...zzzzzz");
}

}  // namespace
}  // namespace nimbara
