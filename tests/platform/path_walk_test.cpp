// SPDX-License-Identifier: Apache-2.0
// Opening beneath a folder without following links, through the kernel's resolver and through
// the component walk it falls back to: the same verdict for every hostile layout.
#include "platform/path_walk.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace nimbara {
namespace {

namespace fs = std::filesystem;

TEST(PathWalk, BothWalksRefuseEveryLink) {
    char tmpl[] = "/tmp/walk-XXXXXX";
    fs::path base = ::mkdtemp(tmpl);
    fs::create_directories(base / "a/b");
    std::ofstream(base / "a/b/file") << "x";
    std::ofstream(base / "f") << "x";
    fs::create_directory_symlink("/etc", base / "absLink");
    fs::create_directory_symlink("../a/b", base / "a/rel");  // stays below the folder
    fs::create_symlink("b/file", base / "a/fileLink");
    int dir = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    struct Case {
        const char* path;
        int flags;
        int err;  // 0: opens
    } cases[] = {
        {"a/b/file", O_RDONLY, 0},           {"a/b", kLookupFlags, 0},
        {"", O_RDONLY | O_DIRECTORY, 0},     {"a/rel/file", O_RDONLY, ELOOP},
        {"absLink/passwd", O_RDONLY, ELOOP}, {"absLink", kLookupFlags, ELOOP},
        {"a/fileLink", O_RDONLY, ELOOP},     {"../x", O_RDONLY, EXDEV},
        {"f/x", O_RDONLY, ENOTDIR},          {"missing/x", O_RDONLY, ENOENT},
    };
    for (auto walk : {&openBeneath, &openBeneathByComponents}) {
        for (const Case& c : cases) {
            int err = 0;
            UniqueFd fd = walk(dir, c.path, c.flags, err);
            EXPECT_EQ(fd.valid(), c.err == 0) << c.path;
            EXPECT_EQ(fd.valid() ? 0 : err, c.err) << c.path;
        }
    }
    ::close(dir);
    fs::remove_all(base);
}

}  // namespace
}  // namespace nimbara
