// SPDX-License-Identifier: Apache-2.0
// The baseline for the helper's request path: a bare line server on the helper's socket path
// that answers every complete line with the helper's ping answer, without a client check or any
// parsing. A thread per connection; the answers to the lines of one read go out in one write.
//   line_server [SOCKET_PATH]      (runs until killed)
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "host/socket_server.h"

namespace {

constexpr size_t kReadChunkBytes = 4096;  // the helper reads this much at a time
constexpr std::string_view kAnswer = "{\"id\":\"p\",\"ok\":true,\"v\":1}\n";

void serve(int fd) {
    char chunk[kReadChunkBytes];
    std::string out;
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.clear();
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == '\n') out += kAnswer;
        }
        for (size_t done = 0; done < out.size();) {
            ssize_t w = ::write(fd, out.data() + done, out.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const char* path = argc > 1 ? argv[1] : nimbara::kSocketPath;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) return 2;
    std::strcpy(addr.sun_path, path);
    ::unlink(path);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path, 0666) != 0 || ::listen(listener, nimbara::kListenBacklog) != 0) {
        std::perror("line_server");
        return 1;
    }
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) std::thread(serve, fd).detach();
    }
}
