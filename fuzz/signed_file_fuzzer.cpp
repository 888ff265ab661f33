// SPDX-License-Identifier: Apache-2.0
// The signature check reads executables that the connecting user wrote: trailer, code directory
// and CMS block are attacker bytes. Every input gets one verdict, and only a
// well-formed, trusted, untampered file is valid. Nothing is left in the thread's OpenSSL error
// queue, where it would change the reason given for the next check on that thread.
#include <openssl/err.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/code_requirement.h"
#include "platform/signed_file.h"
#include "policy/client_requirement.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("signed-file", MFD_CLOEXEC);
    static const auto requirement = nimbara::compileRequirement(nimbara::kClientRequirement);
    check(fd >= 0 && requirement.has_value());
    check(::ftruncate(fd, 0) == 0);
    check(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

    nimbara::SignatureCheck result = nimbara::verifySignedFile(fd, *requirement);
    check(ERR_peek_error() == 0);
    std::string text = result.describe();
    check(!text.empty() && text.find('\n') == std::string::npos);
    if (result.ok()) {
        // A valid file ends in the trailer and starts with an ELF header.
        check(size >= nimbara::kTrailerSize + nimbara::kMinSignatureBlock + 64);
        check(std::memcmp(data + size - nimbara::kTrailerMagic.size(),
                          nimbara::kTrailerMagic.data(), nimbara::kTrailerMagic.size()) == 0);
        check(data[0] == 0x7f && std::memcmp(data + 1, "ELF", 3) == 0);
    }
    return 0;
}
