// SPDX-License-Identifier: Apache-2.0
#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <cstring>
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

// The service reports an errno value e it met as this base plus e (errSecErrnoBase).
constexpr OSStatus kErrnoBase = 100000;

// Signing state of a running process, as the kernel keeps it (xnu osfmk/kern/cs_blobs.h).
constexpr uint64_t kCsValid = 0x1, kCsGetTaskAllow = 0x4, kCsHard = 0x100, kCsKill = 0x200,
                   kCsRuntime = 0x10000, kCsDebugged = 0x10000000;
// The signature's own flag for the hardened runtime (kSecCodeSignatureRuntime).
constexpr uint64_t kSignatureRuntime = 0x10000;
// Entitlements that let code other than the signed one into the process.
constexpr const char* kOpenDoorEntitlements[] = {
    "com.apple.security.get-task-allow", "com.apple.security.cs.disable-library-validation",
    "com.apple.security.cs.allow-dyld-environment-variables",
    "com.apple.security.cs.allow-unsigned-executable-memory"};

ProcessCheck invalid() {
    return {ProcessCheck::Result::invalid, {}};
}

ProcessCheck refused(std::string reason) {
    return {ProcessCheck::Result::refused, std::move(reason)};
}

// Memory or descriptors ran out inside the service: nothing is known about the peer.
bool isShortage(OSStatus status) {
    return status == errSecAllocate ||
           (status > kErrnoBase && status < kErrnoBase + 256 &&
            (isResourceShortage(status - kErrnoBase) || status - kErrnoBase == EAGAIN));
}

ProcessCheck shortage(OSStatus status) {
    return {ProcessCheck::Result::couldNotCheck,
            "the code-signing service ran short: " + describeStatus(status)};
}

// The number stored under `key`, if there is one.
bool numberIn(CFDictionaryRef info, CFStringRef key, uint64_t& value) {
    CFTypeRef number = CFDictionaryGetValue(info, key);
    int64_t v = 0;
    if (!number || CFGetTypeID(number) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, &v)) {
        return false;
    }
    value = static_cast<uint64_t>(v);
    return true;
}

// Why the entitlements let other code in, or empty.
std::string openDoorIn(CFDictionaryRef info) {
    CFTypeRef entitlements = CFDictionaryGetValue(info, kSecCodeInfoEntitlementsDict);
    if (!entitlements || CFGetTypeID(entitlements) != CFDictionaryGetTypeID()) return {};
    for (const char* name : kOpenDoorEntitlements) {
        CFOwned<CFStringRef> key(CFStringCreateWithBytes(
            kCFAllocatorDefault, reinterpret_cast<const UInt8*>(name),
            static_cast<CFIndex>(std::strlen(name)), kCFStringEncodingUTF8, false));
        if (!key.get()) return "its entitlements cannot be read";
        CFTypeRef value =
            CFDictionaryGetValue(static_cast<CFDictionaryRef>(entitlements), key.get());
        // Anything but an explicit false counts as granted.
        if (value && !(CFGetTypeID(value) == CFBooleanGetTypeID() &&
                       !CFBooleanGetValue(static_cast<CFBooleanRef>(value)))) {
            return std::string("entitlement ") + name + " lets other code in";
        }
    }
    return {};
}

// valid when the running guest runs its code as signed: the hardened runtime, valid and killed
// if it stops being so, not debugged (the service accepts a debugged guest with changed pages),
// no entitlement that opens it to other code.
ProcessCheck runsAsShipped(SecCodeRef code) {
    CFOwned<CFDictionaryRef> info;
    OSStatus status = SecCodeCopySigningInformation(
        code, kSecCSDynamicInformation | kSecCSSigningInformation | kSecCSRequirementInformation,
        info.out());
    if (isShortage(status)) return shortage(status);
    if (status != errSecSuccess || !info.get()) return invalid();
    uint64_t state = 0, flags = 0;
    if (!numberIn(info.get(), kSecCodeInfoStatus, state)) return refused("no signing state");
    if (state & kCsDebugged) return refused("being debugged");
    if (state & kCsGetTaskAllow) return refused("open to debuggers");
    constexpr uint64_t required = kCsValid | kCsHard | kCsKill | kCsRuntime;
    if ((state & required) != required ||
        !(numberIn(info.get(), kSecCodeInfoFlags, flags) && (flags & kSignatureRuntime))) {
        return refused("runs without the hardened runtime");
    }
    std::string door = openDoorIn(info.get());
    if (!door.empty()) return refused(door);
    return {ProcessCheck::Result::valid, {}};
}

// The running process named by the audit token. The service looks the guest up without
// validating it: a process that has exited, whose pid was reused or that exec'd since the
// token was taken fails later, in the validity check.
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
    if (isShortage(found)) return shortage(found);
    if (found != errSecSuccess || !code.get()) return invalid();
    CFOwned<SecRequirementRef> requirement = compile(requirementText);  // compiled every time
    if (!requirement.get()) return invalid();
    // No kSecCSConsiderExpiration: a signature time-stamped while its certificate was valid
    // stays valid after the certificate expires. No network: a check never waits on a server.
    // Only the verdict is used; the error details are not asked for.
    OSStatus verdict = SecCodeCheckValidityWithErrors(code.get(), kSecCSNoNetworkAccess,
                                                      requirement.get(), nullptr);
    if (isShortage(verdict)) return shortage(verdict);
    if (verdict != errSecSuccess) return invalid();
    return runsAsShipped(code.get());
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
