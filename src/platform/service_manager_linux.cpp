// SPDX-License-Identifier: Apache-2.0
// systemd's protocols, spoken directly: LISTEN_PID/LISTEN_FDS for the sockets it passes from
// descriptor 3 on, and a datagram to NOTIFY_SOCKET for readiness.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/service_manager.h"

namespace nimbara {
namespace {

constexpr int kFirstPassedFd = 3;  // SD_LISTEN_FDS_START

// The decimal number `text` holds in full, or -1.
long parseCount(const char* text) {
    if (text == nullptr) return -1;
    std::string_view s(text);
    long value = -1;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= 0 ? value : -1;
}

}  // namespace

int takeListeningSocket() {
    long pid = parseCount(std::getenv("LISTEN_PID"));
    long count = parseCount(std::getenv("LISTEN_FDS"));
    // Cleared whatever they say: they are meant for this process only, never for its children.
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (pid != static_cast<long>(::getpid()) || count < 1 || count > 64) return -1;
    for (int fd = kFirstPassedFd; fd < kFirstPassedFd + count; ++fd) {
        if (fd == kFirstPassedFd) {
            if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return -1;
        } else {
            ::close(fd);  // one socket is ours; others would only leak into nothing
        }
    }
    return kFirstPassedFd;
}

void notifyReady() {
    const char* target = std::getenv("NOTIFY_SOCKET");
    if (target == nullptr || (target[0] != '/' && target[0] != '@')) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t len = std::strlen(target);
    if (len >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, target, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // an abstract address
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    static constexpr char kReady[] = "READY=1";
    auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    ::sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
             addrLen);
    ::close(fd);
}

}  // namespace nimbara
