// SPDX-License-Identifier: Apache-2.0
// The record of staged copies: bounded in all (per user: Attack.TheRecordOfStagedCopiesIsBounded),
// left whole by a failed write, read back whole however large.
#include "operations/staging_journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace nimbara
