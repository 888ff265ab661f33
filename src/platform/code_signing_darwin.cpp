#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <string>
#include <utility>
#include <vector>

#include "base/sys.h"

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

// The text of a Core Foundation string in UTF-8; empty for null.
std::string utf8(CFStringRef string) {
    if (!string) return {};
    CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(size));
    if (!CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8)) return {};
    return buffer.data();
}

// The code-signing service's own words for a result code.
std::string describeStatus(OSStatus status) {
    CFOwned<CFStringRef> message(SecCopyErrorMessageString(status, nullptr));
    std::string text = utf8(message.get());
    return text.empty() ? "code-signing error " + std::to_string(status) : text;
}

constexpr const char* kOutOfMemory = "the code-signing service ran out of memory";

ProcessCheck invalid() {
    return {ProcessCheck::Result::invalid, {}};
}

ProcessCheck outOfMemory() {
    return {ProcessCheck::Result::couldNotCheck, kOutOfMemory};
}

// The running process named by the audit token. The status is not errSecSuccess when it has
// exited, its pid was reused or it exec'd since the token was taken; errSecAllocate when
// memory ran out.
OSStatus guestFor(const PeerProcess& peer, CFOwned<SecCodeRef>& code) {
    CFOwned<CFDataRef> token(CFDataCreate(kCFAllocatorDefault,
                                          reinterpret_cast<const UInt8*>(peer.auditToken.data()),
                                          sizeof peer.auditToken));
    if (!token.get()) return errSecAllocate;
    const void* keys[] = {kSecGuestAttributeAudit};
    const void* values[] = {token.get()};
    CFOwned<CFDictionaryRef> attributes(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                           &kCFTypeDictionaryKeyCallBacks,
                                                           &kCFTypeDictionaryValueCallBacks));
    if (!attributes.get()) return errSecAllocate;
    return SecCodeCopyGuestWithAttributes(nullptr, attributes.get(), kSecCSDefaultFlags,
                                          code.out());
}

}  // namespace

void warmUpCodeSigning() {
    // Loads and initialises the code-signing service before the first connection needs it.
    compile("anchor apple");
}

ProcessCheck processSatisfiesRequirement(const PeerProcess& peer,
                                         std::string_view requirementText) {
    if (peer.pid < 1) {
        if (isResourceShortage(peer.pinError)) {
            return {ProcessCheck::Result::couldNotCheck,
                    "cannot read the process's audit token: " + errnoText(peer.pinError)};
        }
        return invalid();
    }
    CFOwned<SecCodeRef> code;
    OSStatus found = guestFor(peer, code);
    if (found == errSecAllocate) return outOfMemory();
    if (found != errSecSuccess || !code.get()) return invalid();
    CFOwned<SecRequirementRef> requirement = compile(requirementText);  // compiled every time
    if (!requirement.get()) return invalid();
    // No kSecCSConsiderExpiration: a signature time-stamped while its certificate was valid
    // stays valid after the certificate expires. No network: a check never waits on a server.
    // Only the verdict is used; the error details are not asked for.
    OSStatus verdict = SecCodeCheckValidityWithErrors(code.get(), kSecCSNoNetworkAccess,
                                                      requirement.get(), nullptr);
    if (verdict == errSecAllocate) return outOfMemory();
    return verdict == errSecSuccess ? ProcessCheck{ProcessCheck::Result::valid, {}} : invalid();
}

void protectOwnProcess() {
    // The hardened runtime the client is signed with already refuses debuggers and injected
    // libraries; the helper checks that it is on.
}

OwnSignature ownSignature(std::string_view requirementText) {
    CFOwned<SecCodeRef> self;
    OSStatus status = SecCodeCopySelf(kSecCSDefaultFlags, self.out());
    if (status != errSecSuccess) return {false, describeStatus(status)};
    CFOwned<SecRequirementRef> requirement = compile(requirementText);
    if (!requirement.get()) return {false, "the requirement does not compile"};
    status = SecCodeCheckValidityWithErrors(self.get(), kSecCSNoNetworkAccess, requirement.get(),
                                            nullptr);
    if (status != errSecSuccess) return {false, describeStatus(status)};
    return {true, "valid"};
}

}  // namespace nimbara
