// The record of staged copies: its bounds, and a record on disk that a failed write leaves whole
// and that is read back whole however large.
#include "operations/staging_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

namespace nimbara {
namespace {

TEST(StagingJournal, BoundedPerUserAndInAll) {
    StagingJournal journal;  // in memory: the bounds are the same
    auto add = [&](uid_t uid) {
        journal.add({uid, "/r", "/r/." + std::to_string(journal.entries().size())});
    };
    for (uid_t uid = 1000; journal.entries().size() < StagingJournal::kMaxEntries; ++uid) {
        for (size_t i = 0; i < StagingJournal::kMaxEntriesPerUser; ++i) add(uid);
    }
    EXPECT_THROW(add(1000), FsFailure);
    try {
        add(0);
        ADD_FAILURE();
    } catch (const FsFailure& failure) {
        EXPECT_STREQ(failure.what(),
                     "the record of staged copies is full (256 items awaiting removal)");
    }
}

TEST(StagingJournal, AFailedWriteKeepsTheRecordWhichIsReadWhole) {
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
    std::ofstream(state + "/staged") << [] {
        std::string text;  // well past 1 MiB
        for (int i = 0; i < 300; ++i) text += "1000\t/r\t/r/" + std::string(4000, 'x') + "\n";
        return text;
    }();
    StagingJournal large;
    large.open(state);
    EXPECT_EQ(large.entries().size(), 300u);
    std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace nimbara
