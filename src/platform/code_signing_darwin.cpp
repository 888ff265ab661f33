#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <utility>

#include "platform/code_signing.h"

namespace nimbara {
namespace {

// Owns one Core Foundation reference and releases it once. Move-only.
template <class Ref>
class CFOwned {
  public:
    CFOwned() = default;
    explicit CFOwned(Ref ref) : ref_(ref) {}
    CFOwned(CFOwned&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFOwned& operator=(CFOwned&&) = delete;
    ~CFOwned() {
        if (ref_) CFRelease(ref_);
    }
    Ref get() const { return ref_; }
    Ref* out() { return &ref_; }  // for the one call that creates the reference

  private:
    Ref ref_ = nullptr;
};

// The requirement text compiled by the system; null when it is not a valid requirement.
CFOwned<SecRequirementRef> compile(std::string_view text) {
    CFOwned<CFStringRef> string(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
    CFOwned<SecRequirementRef> requirement;
    if (!string.get() || SecRequirementCreateWithString(string.get(), kSecCSDefaultFlags,
                                                        requirement.out()) != errSecSuccess) {
        return {};
    }
    return requirement;
}

// The running process named by the audit token; null when it has exited, its pid was reused
// or it exec'd since the token was taken.
CFOwned<SecCodeRef> guestFor(const PeerProcess& peer) {
    CFOwned<CFDataRef> token(CFDataCreate(kCFAllocatorDefault,
                                          reinterpret_cast<const UInt8*>(peer.auditToken.data()),
                                          sizeof peer.auditToken));
    if (!token.get()) return {};
    const void* keys[] = {kSecGuestAttributeAudit};
    const void* values[] = {token.get()};
    CFOwned<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                           &kCFTypeDictionaryKeyCallBacks,
                                                           &kCFTypeDictionaryValueCallBacks));
    CFOwned<SecCodeRef> code;
    if (!attributes.get() ||
        SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags, code.out()) !=
            errSecSuccess) {
        return {};
    }
    return code;
}

}  // namespace

void warmUpCodeSigning() {
    // Loads and initialises the code-signing service before the first connection needs it.
    compile("anchor apple");
}

bool processSatisfiesRequirement(const PeerProcess& peer, std::string_view requirementText) {
    if (peer.pid < 1) return false;
    CFOwned<SecCodeRef> code = guestFor(peer);
    if (!code.get()) return false;
    CFOwned<SecRequirementRef> requirement = compile(requirementText);  // compiled every time
    if (!requirement.get()) return false;
    // No kSecCSConsiderExpiration: a signature time-stamped while its certificate was valid
    // stays valid after the certificate expires. No network: a check never waits on a server.
    // The check answers true or false; the error details are not asked for.
    return SecCodeCheckValidityWithErrors(code.get(), kSecCSNoNetworkAccess, requirement.get(),
                                          nullptr) == errSecSuccess;
}

}  // namespace nimbara
