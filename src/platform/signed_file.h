// SPDX-License-Identifier: Apache-2.0
// Executables signed by appending a CMS signature: the format, the verification of an open file
// against a compiled requirement and a trust anchor, and the signing used by the build's tool.
// Verification runs the cheap checks first and hashes the code last. Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/code_requirement.h"

namespace nimbara {

inline constexpr size_t kTrailerSize = 40;
inline constexpr std::string_view kTrailerMagic{"~ELF code signature v1~\n", 24};
inline constexpr std::string_view kCodeDirectoryMagic{"LXCDIR01", 8};
inline constexpr uint32_t kMinSignatureBlock = 256;
inline constexpr uint32_t kMaxSignatureBlock = 65536;

enum class SignatureVerdict {
    valid,
    notSigned,
    badTrailer,
    badSignatureBlock,
    untrusted,
    badSigner,
    badCodeDirectory,
    requirementNotMet,
    tampered,
    unreadable,
    couldNotCheck,  // descriptors or memory ran out: says nothing about the file
};

struct SignatureCheck {
    SignatureVerdict verdict;
    std::string detail;  // what exactly did not hold, in words

    bool ok() const { return verdict == SignatureVerdict::valid; }
    bool couldNotCheck() const { return verdict == SignatureVerdict::couldNotCheck; }
    // One line for people: "valid", "not signed", "untrusted chain: ...", "identifier is \"x\"".
    std::string describe() const;
};

// The PEM text of the anchor this build trusts.
std::string_view trustAnchorPem();

// Initialises OpenSSL without reading any configuration file and parses the anchor once.
void initCodeSigning();

// Checks the executable open at `fd` against `requirement`, trusting only `anchorPem`.
// couldNotCheck, with what ran out in `detail`, when the check could not run to its end for lack
// of memory or descriptors; every other verdict is about the file.
SignatureCheck verifySignedFile(int fd, const CodeRequirement& requirement,
                                std::string_view anchorPem = trustAnchorPem());

struct SigningIdentity {
    std::string certificatePemPath;  // the leaf
    std::string keyPemPath;
    std::string chainPemPath;  // intermediates, never the root; may be empty
};

// Signs `code` (an ELF image; an existing signature is replaced) for `identifier`.
// Returns true and sets `signedImage`, or false with `error` in words.
bool signExecutable(std::string_view code, std::string_view identifier,
                    const SigningIdentity& identity, std::string& signedImage, std::string& error);

}  // namespace nimbara
