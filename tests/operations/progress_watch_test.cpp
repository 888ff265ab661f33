// SPDX-License-Identifier: Apache-2.0
// The copy's bound on a stalled step: a step that ends more than kStallBound after the one
// before it fails the copy; one in time does not.
#include "operations/progress_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"

namespace nimbara {

TEST(ProgressWatch, AStalledStepFailsTheCopy) {
    char tmpl[] = "/tmp/watch-XXXXXX";
    const std::string base = ::mkdtemp(tmpl);
    std::filesystem::create_directories(base + "/B.vst3/Contents");
    UniqueFd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto copy = [&](std::chrono::seconds ago, const char* to) {
        beginProgressWatch(std::chrono::steady_clock::now() - ago);
        copyTree({0, 0, {}}, dir.get(), "B.vst3", dir.get(), to, base + "/B.vst3", to, 1 << 20);
    };
    EXPECT_NO_THROW(copy(kStallBound - std::chrono::seconds(2), "InTime"));
    EXPECT_THROW(
        try { copy(kStallBound + std::chrono::seconds(1), "Stalled"); } catch (const FsFailure& e) {
            EXPECT_EQ(e.what(),
                      "Cannot copy " + base + "/B.vst3/Contents: no progress for 30 seconds");
            throw;
        },
        FsFailure);
    std::filesystem::remove_all(base);
}

}  // namespace nimbara
