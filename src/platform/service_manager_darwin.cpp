// SPDX-License-Identifier: Apache-2.0
// launchd hands the sockets of the job's Sockets key to launch_activate_socket; it has no
// readiness report (a job is ready when its socket is).
#include <fcntl.h>
#include <launch.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/service_manager.h"

namespace nimbara {

namespace {
// The name of the socket entry in the property list's Sockets dictionary.
constexpr const char* kLaunchdSocketName = "Listeners";
}  // namespace

int takeListeningSocket() {
    int* fds = nullptr;
    size_t count = 0;
    // ESRCH: not started by launchd; ENOENT: no such entry. Either way the helper binds itself.
    if (launch_activate_socket(kLaunchdSocketName, &fds, &count) != 0 || fds == nullptr) {
        return -1;
    }
    int fd = count > 0 ? fds[0] : -1;
    for (size_t i = 1; i < count; ++i) ::close(fds[i]);
    std::free(fds);
    if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void notifyReady() {}

}  // namespace nimbara
