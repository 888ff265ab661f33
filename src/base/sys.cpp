// SPDX-License-Identifier: Apache-2.0
#include "base/sys.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <cstdint>

namespace nimbara {
namespace {

// strerror_r comes in two shapes: the GNU one returns the message (which may or may not live in
// buf), the POSIX one fills buf and returns 0 or an error. Overloading on the result type picks
// the right reading for whichever the C library declares.
[[maybe_unused]] const char* messageOf(const char* gnuResult, const char*) {
    return gnuResult;
}
[[maybe_unused]] const char* messageOf(int posixResult, const char* buf) {
    return posixResult == 0 || buf[0] != '\0' ? buf : "Unknown error";
}

}  // namespace

std::string errnoText(int err) {
    char buf[256] = {};
    return std::string(messageOf(strerror_r(err, buf, sizeof buf), buf));
}

bool isResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

bool openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is this one: 0 to fd-1 are open by now. Kept across exec.
        int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) return false;
        if (opened != fd) {
            ::close(opened);
            return false;
        }
    }
    return true;
}

size_t raiseDescriptorLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    if (lim.rlim_cur != lim.rlim_max) {
        rlimit raised{lim.rlim_max, lim.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return lim.rlim_cur == RLIM_INFINITY ? SIZE_MAX : static_cast<size_t>(lim.rlim_cur);
}

bool writeAll(int fd, std::string_view data) {
    bool isSocket = true;
    while (!data.empty()) {
        ssize_t n = isSocket ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                             : ::write(fd, data.data(), data.size());
        if (n < 0 && isSocket && errno == ENOTSOCK) {
            isSocket = false;
            continue;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

size_t sendWithoutWaiting(int fd, std::string_view data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent;
}

ssize_t readSome(int fd, void* buf, size_t len) {
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool readAt(int fd, uint64_t offset, void* buf, size_t len) {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        ssize_t n = ::pread(fd, p, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n, offset += static_cast<uint64_t>(n), len -= static_cast<size_t>(n);
    }
    return true;
}

int copyRangeThroughBuffer(int src, int dst, uint64_t offset, uint64_t length) {
    std::vector<char> buf(256 * 1024);
    while (length > 0) {
        ssize_t n = ::pread(src, buf.data(), std::min<uint64_t>(buf.size(), length),
                            static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EOVERFLOW;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(dst, buf.data() + done, static_cast<size_t>(n - done),
                                 static_cast<off_t>(offset) + done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno;
            done += w;
        }
        offset += static_cast<uint64_t>(n);
        length -= static_cast<uint64_t>(n);
    }
    return 0;
}

}  // namespace nimbara
