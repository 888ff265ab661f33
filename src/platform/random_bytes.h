// Unpredictable bytes from the kernel's generator, for names an attacker must not guess.
// Stateless; any thread.
#pragma once

#include <cstddef>

namespace nimbara {

// Fills `buf` with `len` random bytes. Returns false when the system could not supply them.
bool fillRandomBytes(void* buf, size_t len);

}  // namespace nimbara
