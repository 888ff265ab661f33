// SPDX-License-Identifier: Apache-2.0
#include "host/log_journal.h"

#include <gtest/gtest.h>

#include <string>

#include "host/log.h"

namespace nimbara {
namespace {

TEST(JournalLog, StreamIsNamedByDeviceAndInode) {
    const struct {
        const char* text;
        bool names;
    } cases[] = {
        {"8:1234", true},   {"8:1235", false},  {"9:1234", false},   {"8:", false},
        {":1234", false},   {"8:1234x", false}, {"8:1234:5", false}, {"", false},
        {"+8:1234", false}, {"8:-1234", false}, {"0x8:1234", false}, {"8 1234", false},
    };
    for (const auto& c : cases) EXPECT_EQ(namesJournalStream(c.text, 8, 1234), c.names) << c.text;
}

// The priority in front, no timestamp, the message escaped and cut as in the plain form.
TEST(JournalLog, LinesCarryPriorityInsteadOfTime) {
    EXPECT_EQ(formatJournalLine(LogPriority::info, "Stopped"), "<6>[helper] Stopped\n");
    EXPECT_EQ(formatJournalLine(LogPriority::error, "copy failed: a\nb"),
              "<3>[helper] copy failed: a\\nb\n");
    std::string cut = formatJournalLine(LogPriority::info, std::string(kMaxLogLineBytes, 'x'));
    EXPECT_LE(cut.size(), kMaxLogLineBytes);
    EXPECT_EQ(cut.substr(cut.size() - 4), "...\n");
    EXPECT_EQ(formatFatalLine("bind() failed: X", true), "<3>[helper] Fatal: bind() failed: X\n");
    EXPECT_EQ(formatFatalLine("bind() failed: X", false), "[helper] Fatal: bind() failed: X\n");
}

}  // namespace
}  // namespace nimbara
