// SPDX-License-Identifier: Apache-2.0
// The record of staged copies: bounded in all (per user: Attack.TheRecordOfStagedCopiesIsBounded),
// left whole by a failed write, read back whole however large; its folder reached through the
// system's links only.
#include "operations/staging_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "operations/trusted_folders.h"

namespace nimbara {
namespace {

TEST(StagingJournal, BoundedWrittenWholeReadWhole) {
    StagingJournal memory;  // the same bounds as on disk
    for (uid_t uid = 1; memory.entries().size() < StagingJournal::kMaxEntries;) {
        memory.add({uid, "/r", "/r/" + std::to_string(memory.entries().size())});
        uid += memory.entries().size() % StagingJournal::kMaxEntriesPerUser == 0;
    }
    EXPECT_THROW(memory.add({0, "/r", "/r/x"}), FsFailure);

    char tmpl[] = "/tmp/journal-XXXXXX";
    const std::string base = ::mkdtemp(tmpl), state = base + "/state";
    const StagingJournal::Entry kept{1000, "/r", "/r/.a.nimbara-000000000000"};
    auto journal = std::make_unique<StagingJournal>();
    journal->open(state);
    journal->add(kept);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny{8, saved.rlim_max};  // every write of the record fails part way
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    EXPECT_THROW(journal->add({1001, "/r", "/r/.b.nimbara-000000000000"}), FsFailure);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    journal = std::make_unique<StagingJournal>();
    journal->open(state);
    EXPECT_EQ(journal->entries(), std::vector<StagingJournal::Entry>{kept});
    journal.reset();
    std::ofstream large(state + "/staged");  // well past 1 MiB
    for (int i = 0; i < 300; ++i) large << "1000\t/r\t/r/" << std::string(4000, 'x') << i << "\n";
    large.close();
    StagingJournal again;
    again.open(state);
    EXPECT_EQ(again.entries().size(), 300u);
    std::filesystem::remove_all(base);
}

// Through links of root's (as /var links to /private/var), relative or absolute; never through a
// user's link or a loop of links. The plug-in folders' walks refuse every link.
TEST(StagingJournal, ReachedThroughTheSystemsLinksOnly) {
    char tmpl[] = "/tmp/links-XXXXXX";
    const std::string base = ::mkdtemp(tmpl);
    ::chmod(base.c_str(), 0755);
    std::filesystem::create_directory(base + "/real");
    std::filesystem::create_directory(base + "/sticky");
    ::chmod((base + "/sticky").c_str(), 01777);  // anyone may add a name, even a link of root's
    ASSERT_EQ(::symlink("loop", (base + "/loop2").c_str()), 0);
    struct Case {
        const char* link;
        std::string target;
        uid_t owner;
        bool reached;
    } cases[] = {
        {"rel", "./real/", 0, true},
        {"abs", base + "//real", 0, true},
        {"users", "real", 1000, false},
        {"loop", "loop2", 0, false},
        {"sticky/in", base + "/real", 0, false},
    };
    for (const Case& c : cases) {
        std::string link = base + "/" + c.link, state = link + "/state";
        ASSERT_EQ(::symlink(c.target.c_str(), link.c_str()), 0);
        ASSERT_EQ(::lchown(link.c_str(), c.owner, c.owner), 0);
        EXPECT_THROW(openTrustedFolder(state, true, 0700), WalkFailure) << c.link;
        bool reached = true;
        try {
            StagingJournal().open(state);
        } catch (const FsFailure&) {
            reached = false;
        }
        EXPECT_EQ(reached, c.reached) << c.link;
    }
    EXPECT_TRUE(std::filesystem::is_directory(base + "/real/state"));
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace nimbara
