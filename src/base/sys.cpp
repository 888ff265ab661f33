#include "base/sys.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

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

ssize_t readSome(int fd, void* buf, size_t len) {
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

}  // namespace nimbara
