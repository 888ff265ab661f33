#include <errno.h>
#include <sys/random.h>

#include "platform/random_bytes.h"

namespace nimbara {

bool fillRandomBytes(void* buf, size_t len) {
    auto* out = static_cast<unsigned char*>(buf);
    while (len > 0) {
        ssize_t n = ::getrandom(out, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace nimbara
