#include <stdlib.h>

#include "platform/random_bytes.h"

namespace nimbara {

bool fillRandomBytes(void* buf, size_t len) {
    arc4random_buf(buf, len);  // the kernel's generator; cannot fail
    return true;
}

}  // namespace nimbara
