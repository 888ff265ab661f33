// SPDX-License-Identifier: Apache-2.0
/* Stand-in for the syntax check only (scripts/macos-check.sh); not the system's header.
   Declares exactly the code-signing services the tree calls, with Apple's documented
   signatures and constant values (Security: CSCommon.h, SecCode.h, SecRequirement.h,
   SecBase.h, SecStaticCode.h). */
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __SecCode* SecCodeRef;
typedef const struct __SecCode* SecStaticCodeRef;
typedef struct __SecRequirement* SecRequirementRef;
typedef UInt32 SecCSFlags;

enum { errSecSuccess = 0, errSecAllocate = -108 };
enum {
    kSecCSDefaultFlags = 0,
    kSecCSNoNetworkAccess = 1 << 29,
};

enum {
    kSecCSSigningInformation = 1 << 1,
    kSecCSRequirementInformation = 1 << 2,
    kSecCSDynamicInformation = 1 << 3,
};

extern const CFStringRef kSecGuestAttributeAudit;
extern const CFStringRef kSecCodeInfoStatus;
extern const CFStringRef kSecCodeInfoFlags;
extern const CFStringRef kSecCodeInfoEntitlementsDict;

OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags,
                                       CFDictionaryRef* information);

OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* self);
OSStatus SecCodeCopyGuestWithAttributes(SecCodeRef host, CFDictionaryRef attributes,
                                        SecCSFlags flags, SecCodeRef* guest);
OSStatus SecRequirementCreateWithString(CFStringRef text, SecCSFlags flags,
                                        SecRequirementRef* requirement);
OSStatus SecCodeCheckValidityWithErrors(SecCodeRef code, SecCSFlags flags,
                                        SecRequirementRef requirement, CFErrorRef* errors);
CFStringRef SecCopyErrorMessageString(OSStatus status, void* reserved);

#ifdef __cplusplus
}
#endif
