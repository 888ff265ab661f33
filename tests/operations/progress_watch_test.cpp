// The copy's own bound on a stalled step, in a temporary tree: a step that ends more than
// kStallBound after the one before it fails the copy; steps in time do not.
#include "operations/progress_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/unique_fd.h"
#include "operations/tree_walk.h"

namespace nimbara {
namespace {

namespace fs = std::filesystem;

TEST(ProgressWatch, AStalledStepFailsTheCopy) {
    char tmpl[] = "/tmp/watch-XXXXXX";
    const std::string base = ::mkdtemp(tmpl);
    fs::create_directories(base + "/src/B.vst3/Contents");
    std::ofstream(base + "/src/B.vst3/Contents/file") << "data";
    UniqueFd src(::open((base + "/src").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd dst(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Caller root{0, 0, {}};
    auto copy = [&](const std::string& name) {
        copyTree(root, src.get(), "B.vst3", dst.get(), name, base + "/src/B.vst3",
                 base + "/" + name, UINT64_MAX);
    };
    const auto now = std::chrono::steady_clock::now();
    beginProgressWatch(now - kStallBound + std::chrono::seconds(2));
    EXPECT_NO_THROW(copy("InTime.vst3"));
    beginProgressWatch(now - kStallBound - std::chrono::seconds(1));
    try {
        copy("Stalled.vst3");
        ADD_FAILURE() << "a stalled copy went on";
    } catch (const FsFailure& e) {
        EXPECT_STREQ(
            e.what(),
            ("Cannot copy " + base + "/src/B.vst3/Contents: no progress for 30 seconds").c_str());
    }
    beginProgressWatch();
    fs::remove_all(base);
}

}  // namespace
}  // namespace nimbara
