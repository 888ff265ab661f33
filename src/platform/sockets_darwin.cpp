// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/sockets.h"

namespace nimbara {
namespace {

// Close-on-exec, the blocking mode asked for, and no SIGPIPE on a write to a closed peer (the
// system has neither SOCK_CLOEXEC nor accept4). Closes `fd` and returns -1 when a step fails.
int prepare(int fd, bool nonBlocking) {
    if (fd < 0) return -1;
    int on = 1;
    int flags = ::fcntl(fd, F_GETFL);
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

int openLocalSocket(bool nonBlocking) {
    return prepare(::socket(AF_UNIX, SOCK_STREAM, 0), nonBlocking);
}

int acceptConnection(int listenFd) {
    // An accepted socket inherits O_NONBLOCK from the listener here; prepare() clears it.
    return prepare(::accept(listenFd, nullptr, nullptr), false);
}

}  // namespace nimbara
