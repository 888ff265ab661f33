// SPDX-License-Identifier: Apache-2.0
// The services each platform layer provides, held to one contract on every system: sockets
// close-on-exec and blocking when accepted, each chunk read attributed to its writer, the
// connection held by the checked process itself, renames that never replace or that swap.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/sys.h"
#include "platform/code_signing.h"
#include "platform/file_system.h"
#include "platform/peer_identity.h"
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
        std::ofstream(base_ + "/" + rel) << text;
    }
    std::string read(const std::string& rel) {
        std::ifstream in(base_ + "/" + rel);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Binds `listener` to a socket in the test folder and listens; returns a client connected
    // to it, or an invalid descriptor.
    UniqueFd listenAndConnect(int listener) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = base_ + "/s";
        std::memcpy(addr.sun_path, path.c_str(), path.size());
        auto* sa = reinterpret_cast<sockaddr*>(&addr);
        UniqueFd client(openLocalSocket());
        if (::bind(listener, sa, sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
            ::connect(client.get(), sa, sizeof addr) != 0) {
            client.reset();
        }
        return client;
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
    UniqueFd client = listenAndConnect(listener.get());
    ASSERT_TRUE(client);
    EXPECT_FALSE(::fcntl(client.get(), F_GETFL) & O_NONBLOCK);
    UniqueFd accepted(acceptConnection(listener.get()));
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(::fcntl(accepted.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(accepted.get(), F_GETFL) & O_NONBLOCK);
}

// This process as the checked peer, and a child that shares its end of the connection.
TEST_F(PlatformServicesTest, OnlyTheCheckedProcessSpeaksOnItsConnection) {
    using Result = ProcessCheck::Result;
    UniqueFd listener(openLocalSocket());
    ASSERT_EQ(attributeSenders(listener.get()), 0);
    UniqueFd client = listenAndConnect(listener.get());
    ASSERT_TRUE(client);
    ASSERT_TRUE(writeAll(client.get(), "early"));  // before the accept
    UniqueFd accepted(acceptConnection(listener.get()));
    PeerProcess self = peerProcessOf(accepted.get());
    ASSERT_EQ(self.pid, ::getpid());
    EXPECT_EQ(processHoldsConnection(self, accepted.get()).result, Result::valid);

    // A child writes on the shared descriptor and keeps it while this process lets go of it.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        writeAll(client.get(), "child");
        char c;
        (void)!::read(go[0], &c, 1);
        ::_exit(0);
    }
    char buf[64];
    PeerChunk first = readFromPeer(accepted.get(), buf, sizeof buf, self);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(first.bytes)), "early");
    EXPECT_TRUE(first.fromPeer);
    PeerChunk second = readFromPeer(accepted.get(), buf, sizeof buf, self);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(second.bytes)), "child");
    EXPECT_FALSE(second.fromPeer);
    EXPECT_EQ(second.sender, child);

    ASSERT_EQ(::fcntl(client.get(), F_SETFD, 0), 0);  // would survive an exec
    ProcessCheck open = processHoldsConnection(self, accepted.get());
    EXPECT_EQ(open.result, Result::refused);
    EXPECT_EQ(open.reason, "holds the connection in a descriptor that is not close-on-exec");
    client.reset();
    ProcessCheck gone = processHoldsConnection(self, accepted.get());
    EXPECT_EQ(gone.result, Result::refused);
    EXPECT_EQ(gone.reason, "does not hold the connection itself");
    ::close(go[1]);
    ::close(go[0]);
    ::waitpid(child, nullptr, 0);
}

TEST_F(PlatformServicesTest, RenamesNeverReplaceOrSwapWhole) {
    write("new", "new");
    write("old", "old");
    EXPECT_EQ(renameNoReplace(dir_.get(), "new", "old"), EEXIST);
    EXPECT_EQ(read("old"), "old");
    ASSERT_EQ(renameExchange(dir_.get(), "new", "old"), 0);
    EXPECT_EQ(read("old"), "new");
    EXPECT_EQ(read("new"), "old");
    EXPECT_EQ(renameExchange(dir_.get(), "new", "absent"), ENOENT);
    EXPECT_EQ(read("new"), "old");
    ASSERT_EQ(renameNoReplace(dir_.get(), "new", "fresh"), 0);
    EXPECT_EQ(read("fresh"), "old");
}

}  // namespace
}  // namespace nimbara
