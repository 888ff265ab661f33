// SPDX-License-Identifier: Apache-2.0
#include <sys/socket.h>

#include "platform/sockets.h"

namespace nimbara {

int openLocalSocket(bool nonBlocking) {
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}

int acceptConnection(int listenFd) {
    // accept4 sets close-on-exec atomically; an accepted socket never inherits O_NONBLOCK here.
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace nimbara
