// SPDX-License-Identifier: Apache-2.0
// Properties of every accepted path, for destinations and sources alike.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "policy/path_rules.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool wellFormed(const std::string& p) {
    for (unsigned char c : p) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    bool trailingSlash = p.size() > 1 && p.back() == '/';
    return p.find("..") == std::string::npos && p.find("//") == std::string::npos &&
           p.find("/./") == std::string::npos && !trailingSlash && !p.empty() && p[0] == '/';
}

template <class Validate, class UnderRoot>
void property(const std::string& input, Validate validate, UnderRoot underRoot) {
    std::string accepted;
    try {
        accepted = validate(input);
    } catch (const nimbara::ValidationError&) {
        return;  // the only error allowed out
    }
    check(wellFormed(accepted));
    check(underRoot(accepted));
    check(validate(accepted) == accepted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    property(input, nimbara::validateDestPath, [](const std::string& p) {
        for (auto root : nimbara::allowedDestRoots) {
            if (p == root || p.rfind(std::string(root) + "/", 0) == 0) return true;
        }
        return false;
    });
    property(input, nimbara::validateSourcePath,
             [](const std::string& p) { return p.rfind("/Users/", 0) == 0 && p.size() > 7; });
    return 0;
}
