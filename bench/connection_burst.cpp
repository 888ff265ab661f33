// SPDX-License-Identifier: Apache-2.0
// A burst of connections from an unsigned program (this one is never signed): opens COUNT
// connections to the helper as fast as one thread can, up to WINDOW of them open at once, then
// waits for each one's refusal or end of stream and closes it. Prints what became of them.
//   connection_burst COUNT [WINDOW]
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/helper_client.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutSeconds = 10;

struct Outcome {
    long refused = 0, closedUnanswered = 0, otherAnswer = 0, timedOut = 0, connectFailed = 0;
    int firstConnectErrno = 0;
};

int openOne() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    timeval tv{kTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);  // bounds a connect that waits
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, nimbara::kHelperSocketPath, sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    int err = errno;
    ::close(fd);
    return -err;
}

// Reads until end of stream or the deadline, then classifies what came.
void settle(int fd, Clock::time_point deadline, Outcome& out) {
    std::string got;
    char buf[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) {
            out.timedOut++;
            return;
        }
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    if (got.empty()) {
        out.closedUnanswered++;
    } else if (got.find("\"SIGNATURE_INVALID\"") != std::string::npos) {
        out.refused++;
    } else {
        out.otherAnswer++;
    }
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? std::atol(argv[1]) : 10000;
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    long window =
        std::min<long>(argc > 2 ? std::atol(argv[2]) : count, static_cast<long>(rl.rlim_cur) - 16);
    Outcome out;
    auto t0 = Clock::now();
    double openSeconds = 0;
    for (long done = 0; done < count;) {
        std::vector<int> fds;
        for (; done < count && static_cast<long>(fds.size()) < window; ++done) {
            int fd = openOne();
            if (fd >= 0) {
                fds.push_back(fd);
                continue;
            }
            if (out.connectFailed++ == 0) out.firstConnectErrno = -fd;
        }
        openSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
        auto deadline = Clock::now() + std::chrono::seconds(kTimeoutSeconds);
        for (int fd : fds) {
            settle(fd, deadline, out);
            ::close(fd);
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf(
        "burst: %ld connections (window %ld) opened in %.2f s, settled in %.2f s: "
        "refused=%ld closed_unanswered=%ld other_answer=%ld timed_out=%ld "
        "connect_failed=%ld%s%s\n",
        count, window, openSeconds, seconds, out.refused, out.closedUnanswered, out.otherAnswer,
        out.timedOut, out.connectFailed, out.firstConnectErrno ? " first_error=" : "",
        out.firstConnectErrno ? std::strerror(out.firstConnectErrno) : "");
}
