// SPDX-License-Identifier: Apache-2.0
// Load generator for the helper's request path, signed by the build so that the helper's client
// check admits it (and is part of what is measured).
//   ping_load CONNECTIONS DEPTH ROUNDS [UIDS]
//     Every connection sends ROUNDS batches of DEPTH pings, each batch in one write, and reads
//     the DEPTH answers before the next batch. Prints the answers counted, exactly
//     CONNECTIONS x DEPTH x ROUNDS when nothing was lost, and the answers per second, in all and
//     after every connection was admitted (connected, checked, one ping answered); exits 1
//     when any is missing or wrong. UIDS > 0 spreads the connections over UIDS processes running
//     as uid 1000, 1001, ... (start as root), so that no single user holds them all.
//   ping_load --latency SECONDS [INTERVAL_MS]
//     One connection, one ping at a time every INTERVAL_MS (default 1), for SECONDS or until
//     SIGTERM: prints the latency percentiles and the pings left unanswered.
// The socket is $PING_SOCKET, else the helper's.
#include <grp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/helper_client.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kPing = "{\"id\":\"p\",\"v\":1,\"op\":\"ping\"}\n";
constexpr std::string_view kAnswer = "{\"id\":\"p\",\"ok\":true,\"v\":1}";
constexpr int kTimeoutSeconds = 10;  // no progress for this long: the rest counts as lost

struct Counts {
    long answers = 0, wrong = 0, lost = 0, connectFailed = 0;
    double connectSeconds = 0;  // connecting and admission, before the first request
};

const char* socketPath() {
    const char* env = std::getenv("PING_SOCKET");
    return env ? env : nimbara::kHelperSocketPath;
}

int connectToServer() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath(), sizeof addr.sun_path - 1);
    timeval tv{kTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

bool writeAll(int fd, std::string_view s) {
    while (!s.empty()) {
        ssize_t n = ::write(fd, s.data(), s.size());
        if (n <= 0) return false;
        s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

struct Conn {
    int fd;
    int roundsLeft;
    int awaiting = 0;
    std::string partial;
};

// Reads what is there and counts the complete lines; false when the connection ended.
bool readAnswers(Conn& c, Counts& counts) {
    char buf[65536];
    ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            c.partial += buf[i];
            continue;
        }
        (c.partial == kAnswer ? counts.answers : counts.wrong)++;
        c.partial.clear();
        --c.awaiting;
    }
    return true;
}

// Sends the next batch if the last one is answered; false when the connection is done.
bool nextBatch(Conn& c, const std::string& batch, int depth) {
    if (c.awaiting > 0) return true;
    if (c.roundsLeft == 0 || !writeAll(c.fd, batch)) return false;
    --c.roundsLeft;
    c.awaiting = depth;
    return true;
}

Counts drive(int connections, int depth, int rounds) {
    Counts counts;
    std::string batch;
    for (int i = 0; i < depth; ++i) batch += kPing;
    std::vector<Conn> conns;
    auto t0 = Clock::now();
    for (int i = 0; i < connections; ++i) {
        int fd = connectToServer();
        if (fd < 0) {
            counts.connectFailed++;
            counts.lost += static_cast<long>(depth) * rounds;
            continue;
        }
        conns.push_back({fd, rounds, 0, {}});
    }
    // A connection is admitted once the helper's check is done; the answer to a first ping (not
    // counted) shows it.
    for (Conn& c : conns) {
        char ch = 0;
        if (!writeAll(c.fd, kPing)) continue;
        while (ch != '\n' && ::read(c.fd, &ch, 1) == 1) {
        }
    }
    counts.connectSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    size_t open = 0;
    for (size_t i = 0; i < conns.size(); ++i) {
        epoll_event ev{EPOLLIN, {.u64 = i}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
        if (nextBatch(conns[i], batch, depth)) open++;
    }
    std::vector<epoll_event> events(256);
    while (open > 0) {
        int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()),
                             kTimeoutSeconds * 1000);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            Conn& c = conns[events[i].data.u64];
            if (c.fd < 0) continue;
            if (!readAnswers(c, counts) || !nextBatch(c, batch, depth)) {
                ::close(c.fd);
                c.fd = -1;
                open--;
            }
        }
    }
    for (Conn& c : conns) {
        counts.lost += c.awaiting + static_cast<long>(c.roundsLeft) * depth;
        if (c.fd >= 0) ::close(c.fd);
    }
    ::close(ep);
    return counts;
}

// Forks `uids` workers as uid 1000.. that wait for one start signal; returns their summed counts.
Counts driveAsUsers(int connections, int depth, int rounds, int uids, double& seconds) {
    int go[2], results[2];
    if (::pipe(go) != 0 || ::pipe(results) != 0) std::exit(2);
    for (int k = 0; k < uids; ++k) {
        int share = connections / uids + (k < connections % uids ? 1 : 0);
        if (::fork() == 0) {
            ::close(go[1]);
            uid_t uid = 1000 + static_cast<uid_t>(k);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                ::setresuid(uid, uid, uid) != 0) {
                std::perror("ping_load: cannot become the user");
                _exit(2);
            }
            char c;
            (void)!::read(go[0], &c, 1);  // returns at end of file: the start
            Counts counts = drive(share, depth, rounds);
            (void)!::write(results[1], &counts, sizeof counts);  // below PIPE_BUF: one piece
            _exit(0);
        }
    }
    ::close(go[0]);
    ::close(results[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all workers waiting
    auto t0 = Clock::now();
    ::close(go[1]);
    Counts sum;
    for (Counts part; ::read(results[0], &part, sizeof part) == sizeof part;) {
        sum.answers += part.answers;
        sum.wrong += part.wrong;
        sum.lost += part.lost;
        sum.connectFailed += part.connectFailed;
        sum.connectSeconds = std::max(sum.connectSeconds, part.connectSeconds);
    }
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    while (::wait(nullptr) > 0) {
    }
    return sum;
}

volatile std::sig_atomic_t stopRequested = 0;

int latency(double seconds, int intervalMs) {
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    std::vector<double> micros;
    long lost = 0;
    int fd = -1;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!stopRequested && Clock::now() < end) {
        if (fd < 0) fd = connectToServer();
        auto t0 = Clock::now();
        std::string line;
        char ch = 0;
        bool ok = fd >= 0 && writeAll(fd, kPing);
        while (ok && ch != '\n') {
            ok = ::read(fd, &ch, 1) == 1;
            if (ch != '\n') line += ch;
        }
        if (ok && line == kAnswer) {
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        } else {
            lost++;
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    std::sort(micros.begin(), micros.end());
    auto pct = [&](double p) {
        return micros.empty() ? 0.0 : micros[static_cast<size_t>(p * (micros.size() - 1))];
    };
    std::printf("pings=%zu lost=%ld p50_us=%.0f p99_us=%.0f max_us=%.0f\n", micros.size() + lost,
                lost, pct(0.5), pct(0.99), pct(1.0));
    return lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string_view(argv[1]) == "--latency") {
        return latency(std::atof(argv[2]), argc > 3 ? std::atoi(argv[3]) : 1);
    }
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: ping_load CONNECTIONS DEPTH ROUNDS [UIDS]\n"
                     "       ping_load --latency SECONDS [INTERVAL_MS]\n");
        return 2;
    }
    int connections = std::atoi(argv[1]), depth = std::atoi(argv[2]), rounds = std::atoi(argv[3]);
    int uids = argc > 4 ? std::atoi(argv[4]) : 0;
    double seconds = 0;
    Counts counts;
    if (uids > 0) {
        counts = driveAsUsers(connections, depth, rounds, uids, seconds);
    } else {
        auto t0 = Clock::now();
        counts = drive(connections, depth, rounds);
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    }
    long expected = static_cast<long>(connections) * depth * rounds;
    // rate_admitted leaves out the connecting and the client checks (one uncounted ping each).
    std::printf(
        "answers=%ld expected=%ld wrong=%ld lost=%ld connect_failed=%ld seconds=%.4f "
        "admission_seconds=%.4f rate=%.0f rate_admitted=%.0f\n",
        counts.answers, expected, counts.wrong, counts.lost, counts.connectFailed, seconds,
        counts.connectSeconds, static_cast<double>(counts.answers) / seconds,
        static_cast<double>(counts.answers) / (seconds - counts.connectSeconds));
    return counts.answers == expected && counts.wrong == 0 ? 0 : 1;
}
