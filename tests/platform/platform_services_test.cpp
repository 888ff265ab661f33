// The services each platform layer provides, held to one contract on every system: sockets
// close-on-exec and blocking when accepted, renames that never replace or that swap, and the
// one-call path walk refusing exactly what the component walk refuses.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/file_copy.h"
#include "platform/path_walk.h"
#include "platform/sockets.h"

namespace nimbara {
namespace {

namespace fs = std::filesystem;

class PlatformServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/platform-XXXXXX";
        base_ = ::mkdtemp(tmpl);
        dir_.reset(::open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir_);
    }
    void TearDown() override { fs::remove_all(base_); }
    void write(const std::string& rel, const std::string& text) {
        fs::create_directories(fs::path(base_ + "/" + rel).parent_path());
        std::ofstream(base_ + "/" + rel) << text;
    }
    std::string read(const std::string& rel) {
        std::ifstream in(base_ + "/" + rel);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string base_;
    UniqueFd dir_;
};

// A listener that is itself non-blocking must still hand out blocking connections.
TEST_F(PlatformServicesTest, SocketsAreCloseOnExecAndAcceptedBlocking) {
    UniqueFd listener(openLocalSocket(/*nonBlocking=*/true));
    ASSERT_TRUE(listener);
    EXPECT_TRUE(::fcntl(listener.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(listener.get(), F_GETFL) & O_NONBLOCK);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = base_ + "/s";
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    ASSERT_EQ(::bind(listener.get(), sa, sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    UniqueFd client(openLocalSocket());
    ASSERT_EQ(::connect(client.get(), sa, sizeof addr), 0);
    EXPECT_FALSE(::fcntl(client.get(), F_GETFL) & O_NONBLOCK);
    UniqueFd accepted(acceptConnection(listener.get()));
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(::fcntl(accepted.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(accepted.get(), F_GETFL) & O_NONBLOCK);
}

TEST_F(PlatformServicesTest, RenamesNeverReplaceOrSwapWhole) {
    write("new", "new");
    write("old", "old");
    EXPECT_EQ(renameNoReplace(dir_.get(), "new", dir_.get(), "old"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read("old"), "old");
    ASSERT_EQ(renameSwap(dir_.get(), "new", dir_.get(), "old"), 0);
    EXPECT_EQ(read("old"), "new");
    EXPECT_EQ(read("new"), "old");
    EXPECT_EQ(renameSwap(dir_.get(), "new", dir_.get(), "absent"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(read("new"), "old");
    ASSERT_EQ(renameNoReplace(dir_.get(), "new", dir_.get(), "fresh"), 0);
    EXPECT_EQ(read("fresh"), "old");
}

// The one-call walk and the component walk give the same answer for every case.
TEST_F(PlatformServicesTest, BothWalksRefuseLinksAndClimbsAlike) {
    write("a/b/file", "x");
    fs::create_directory_symlink("b", base_ + "/a/link");
    fs::create_symlink("file", base_ + "/a/b/flink");
    struct Case {
        const char* path;
        int flags;
        int err;  // 0: opens
    } cases[] = {
        {"a/b/file", O_RDONLY, 0},        {"", O_RDONLY | O_DIRECTORY, 0},
        {"a/link/file", O_RDONLY, ELOOP}, {"a/b/flink", O_RDONLY, ELOOP},
        {"a/link", O_RDONLY, ELOOP},      {"a/../../etc", O_RDONLY, EXDEV},
        {"a/b/nope", O_RDONLY, ENOENT},   {"a/b/file/x", O_RDONLY, ENOTDIR},
    };
    for (const auto& c : cases) {
        int fast = 0, slow = 0;
        UniqueFd a = openBeneath(dir_.get(), c.path, c.flags, fast);
        UniqueFd b = openBeneathByComponents(dir_.get(), c.path, c.flags, slow);
        EXPECT_EQ(a.valid(), c.err == 0) << c.path;
        EXPECT_EQ(b.valid(), c.err == 0) << c.path;
        if (c.err != 0) {
            EXPECT_EQ(fast, c.err) << c.path;
            EXPECT_EQ(slow, c.err) << c.path;
        }
    }
}

}  // namespace
}  // namespace nimbara
