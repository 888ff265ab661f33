#include "host/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "host/socket_server.h"

namespace nimbara {
namespace {

TEST(LogLine, FramingInUtcWholeSeconds) {
    // 2026-12-05T10:34:16Z
    const std::time_t when = 1796466856;
    for (const char* tz : {"UTC", "America/Los_Angeles", "Asia/Kolkata"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(formatLogLine(when, "Stopped"), "[2026-12-05T10:34:16Z] [helper] Stopped\n");
    }
    ::unsetenv("TZ");
    EXPECT_EQ(formatLogLine(when, ""), "[2026-12-05T10:34:16Z] [helper] \n");
    EXPECT_EQ(formatLogLine(when, "a\nb"), "[2026-12-05T10:34:16Z] [helper] a\nb\n");
}

TEST(LogLine, WrittenToStandardOutput) {
    ::testing::internal::CaptureStdout();
    SocketServer::log("hello");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[helper\] hello\n)")))
        << out;
}

TEST(SocketErrorText, Descriptions) {
    EXPECT_EQ(SocketError::createFailed(EMFILE).description(),
              "socket() failed: Too many open files");
    EXPECT_EQ(SocketError::bindFailed(EADDRINUSE).description(),
              "bind() failed: Address already in use");
    EXPECT_EQ(SocketError::listenFailed(EINVAL).description(), "listen() failed: Invalid argument");
    EXPECT_EQ(SocketError::pathTooLong().description(), "Socket path exceeds sockaddr_un limit");
}

}  // namespace
}  // namespace nimbara
