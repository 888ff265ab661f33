// SPDX-License-Identifier: Apache-2.0
// A SocketServer on a temporary path: what no sandbox test can reach (the limit of the path,
// trouble on a connection's thread, descriptors running out), refusals in a burst, and the
// serial queue underneath.
#include "host/socket_server.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"
#include "client/helper_client.h"
#include "host/log.h"
#include "operations/tree_walk.h"

namespace nimbara {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
constexpr long kLinesPerWindow = RefusalLogLimiter::kLinesPerWindow;

// Connects `fd` to the socket at `path`; true on success.
bool connectTo(int fd, const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// What the server sent before closing, or nothing when no connection could be made.
std::optional<std::string> exchange(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (!connectTo(fd.get(), path)) return std::nullopt;
    // This process is no signed client: wait for the refusal, so the connection's work is over
    // before the test moves on.
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    return got;
}

class SocketServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sst-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
    }
    void TearDown() override {
        if (server_) server_->shutdown();
        fs::remove_all(dir_);
    }

    std::string dir_;
    std::shared_ptr<SocketServer> server_;
};

// The longest path that fits listens; one byte more throws and leaves no socket. Trouble on a
// connection's thread closes that connection unanswered, and the log says what it was: an
// exception, or a check that ran out of descriptors (no verdict on the peer, so no
// SIGNATURE_INVALID). The next connection is served as usual.
TEST_F(SocketServerTest, TroubleOnAConnectionClosesItUnanswered) {
    const std::string path = dir_ + "/" + std::string(103 - dir_.size() - 1, 's');
    auto tooLong = std::make_shared<SocketServer>(path + "s");
    EXPECT_THROW(tooLong->start(), SocketError);
    EXPECT_EQ(tooLong->serverSocket(), -1);
    server_ = std::make_shared<SocketServer>(path);
    ::testing::internal::CaptureStdout();
    server_->start();
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("] [helper] Listening on " + path + "\n"));
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const std::vector<std::pair<void (*)(const char*), std::string>> cases{
        {[](const char*) { throw std::bad_alloc(); },
         "Connection closed after an unexpected error: std::bad_alloc\n"},
        {[](const char*) {  // no descriptor below the limit is free
             rlimit lim{};
             ::getrlimit(RLIMIT_NOFILE, &lim);
             lim.rlim_cur = 3;
             ::setrlimit(RLIMIT_NOFILE, &lim);
         },
         // what ran out is said in each system's own words
         "Rejected connection: signature could not be checked (pid: " + std::to_string(::getpid()) +
             "): "},
    };
    for (const auto& [fault, logged] : cases) {
        ::testing::internal::CaptureStdout();
        SocketServer::faultForTests = fault;
        auto got = exchange(path);
        SocketServer::faultForTests = nullptr;
        ::setrlimit(RLIMIT_NOFILE, &saved);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, "");
        EXPECT_THAT(out, HasSubstr("] [helper] " + logged));
        EXPECT_THAT(exchange(path).value_or(""), HasSubstr("SIGNATURE_INVALID"));
    }
}

// A burst of refusals leaves a few log lines, then one that counts the rest.
TEST_F(SocketServerTest, RefusalBurstLeavesFewLogLines) {
    const std::string path = dir_ + "/burst";
    server_ = std::make_shared<SocketServer>(path);
    ::testing::internal::CaptureStdout();
    server_->start();
    for (int i = 0; i < 40; ++i) exchange(path);
    std::this_thread::sleep_for(RefusalLogLimiter::kWindow);
    exchange(path);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, ContainsRegex("Rejected connection: [0-9]+ more refusals not logged\n"));
    // "Listening on", five a window and a count line after each (the burst may span two windows).
    EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 1 + 2 * (kLinesPerWindow + 1) + 1);
}

long cpuMicros(const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
           r.ru_stime.tv_usec;
}

// Runs in a child process: a server whose accept() has no descriptor left, with a connection
// waiting. Exits 0 when the process stayed nearly idle for half a second.
[[noreturn]] void exhaustDescriptorsAndMeasure(const std::string& path) {
    auto server = std::make_shared<SocketServer>(path);
    ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);  // log lines; it exits without cleanup
    server->start();
    // Let every thread of the server get going first: sanitizer runtimes need descriptors of
    // their own when a thread starts.
    exchange(path);
    ::usleep(100 * 1000);
    int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
    // No descriptor below the limit is free, and none a thread closes can be reused: every
    // accept() fails for as long as the measure lasts.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 3;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    while (::open("/dev/null", O_RDONLY) >= 0) {  // should one of 0-2 be closed
    }
    connectTo(client, path);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    ::usleep(500 * 1000);
    ::getrusage(RUSAGE_SELF, &after);
    // The child made a folder of its own (the fixture ran in it too): leave nothing behind.
    server->shutdown();
    ::rmdir(fs::path(path).parent_path().c_str());
    ::_exit(cpuMicros(after) - cpuMicros(before) < 100 * 1000 ? 0 : 1);
}

// With no descriptor left for accept(), the loop must wait between attempts, not spin.
TEST_F(SocketServerTest, DescriptorExhaustionDoesNotSpin) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, not a fork of this one
    EXPECT_EXIT(exhaustDescriptorsAndMeasure(dir_ + "/emfile"), ::testing::ExitedWithCode(0), "");
}

// A socket that refuses for a moment (a full queue does so at once on some systems) is tried
// again by the client while its file is there; with no file there it gives up at once.
TEST_F(SocketServerTest, ClientsTryARefusingSocketAgain) {
    const std::string path = dir_ + "/s";
    EXPECT_EQ(HelperClient::connect(path).error.kind, ClientError::Kind::noHelper);
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::thread late([&] {  // bound, not yet listening: connecting is refused meanwhile
        ::usleep(120 * 1000);
        ::listen(listener.get(), kListenBacklog);
    });
    EXPECT_TRUE(HelperClient::connect(path).value.has_value());
    late.join();
}

std::atomic<int> operationsBegun{0};
std::atomic<bool> heedsTheDeadline{true};

// Stands for a file operation: one that gives up once removals must end, or one that does not.
void slowOperation(const char* where) {
    if (std::string_view(where) != "operation") return;
    ++operationsBegun;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until && !(heedsTheDeadline && removalMustEnd())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error("gave up");  // nothing on disk is touched
}

// A stop has the running operation's removal give up at two thirds of its bound, and returns
// after the bound even when the operation goes on.
TEST_F(SocketServerTest, AStopEndsWithinItsBound) {
    using namespace std::chrono;
    server_ = std::make_shared<SocketServer>(dir_ + "/stop");
    SocketServer::faultForTests = slowOperation;
    for (bool heeds : {true, false}) {
        heedsTheDeadline = heeds;
        int begun = operationsBegun;
        std::thread client([&] {
            server_->processRequest(
                R"({"id":"r","v":1,"op":"remove","path":"/Library/Audio/Plug-Ins/VST3/x"})",
                Caller{0, 0, {}});
        });
        while (operationsBegun == begun) std::this_thread::sleep_for(milliseconds(1));
        auto start = steady_clock::now();
        bool settled = server_->stop(milliseconds(600));
        auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
        EXPECT_EQ(settled, heeds);
        EXPECT_GE(took, heeds ? 390 : 590) << heeds;
        EXPECT_LT(took, heeds ? 1500 : 1200);  // the operation itself lasts 1,500 ms
        client.join();
    }
    SocketServer::faultForTests = nullptr;
}

TEST(SerialQueueTest, MayBeDestroyedByItsOwnWork) {
    auto* q = new SerialQueue("test.queue");
    std::atomic<bool> destroyed{false};
    q->async([&] {
        delete q;
        destroyed = true;
    });
    while (!destroyed) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the thread winds down
}

}  // namespace
}  // namespace nimbara
