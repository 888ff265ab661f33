// SPDX-License-Identifier: Apache-2.0
// wire_probe: a signed test client that speaks raw bytes to the helper, step by step:
//   send:TEXT      write TEXT as it is
//   fill:N:C       write N bytes of the character C
//   shut           shut down the sending side
//   sleep:MS       wait
//   drain          print every byte received until end of stream, then "<EOF>"
//   fork           the steps after this one are taken by a child sharing the connection
//   burst:N        open and close N more connections, every other one after part of a request
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/sys.h"

int main(int argc, char** argv) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/var/run/com.corvellan.nimbara.helper.sock");
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // as clients must
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        return 69;
    }
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        std::string arg = step.substr(step.find(':') + 1);
        if (step.rfind("send:", 0) == 0) {
            nimbara::writeAll(fd, arg);
        } else if (step.rfind("fill:", 0) == 0) {
            nimbara::writeAll(fd, std::string(std::stoul(arg), arg.back()));
        } else if (step.rfind("burst:", 0) == 0) {
            for (int k = 0; k < std::stoi(arg); ++k) {
                int other = ::socket(AF_UNIX, SOCK_STREAM, 0);
                ::connect(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
                if (k % 2) nimbara::writeAll(other, "{\"id\":\"x\",\"v\":1,");
                ::close(other);
            }
        } else if (step == "shut") {
            ::shutdown(fd, SHUT_WR);
        } else if (step.rfind("sleep:", 0) == 0) {
            ::usleep(static_cast<useconds_t>(std::stoi(arg)) * 1000);
        } else if (step == "fork") {
            if (pid_t child = ::fork(); child > 0) {
                int status = 0;
                ::waitpid(child, &status, 0);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
            }
        } else if (step == "drain") {
            char buf[4096];
            for (ssize_t n; (n = nimbara::readSome(fd, buf, sizeof buf)) > 0;) {
                std::fwrite(buf, 1, static_cast<size_t>(n), stdout);
            }
            std::printf("<EOF>\n");
        } else {
            std::fprintf(stderr, "unknown step %s\n", argv[i]);
            return 64;
        }
    }
    return 0;
}
