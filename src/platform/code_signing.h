// SPDX-License-Identifier: Apache-2.0
// The operating system's code-signing service as the client check uses it: does the running
// process behind a connection satisfy a requirement text? Nothing is cached; the requirement is
// compiled on every call. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/peer_identity.h"

namespace nimbara {

// The outcome of a check. invalid: the signature is missing, broken or does not satisfy the
// requirement. refused: the code is signed but the process does not run it as shipped (code
// let in from elsewhere, a debugger) or is not the one that wrote on the connection; `reason`
// says why. couldNotCheck: the check did not run to its end because descriptors or memory ran
// out; it says nothing about the peer, and `reason` says what ran out.
struct ProcessCheck {
    enum class Result { valid, invalid, refused, couldNotCheck };
    Result result = Result::invalid;
    std::string reason;
};

// Prepares the service (crypto library set-up) so the first connection does not pay for it.
void warmUpCodeSigning();

// valid only when `peer` is still the same live process, its executable is validly signed and
// satisfies `requirementText`, and it runs that code as shipped (nothing loaded from elsewhere,
// not debugged); invalid or refused when the check ran and any of that failed.
ProcessCheck processSatisfiesRequirement(const PeerProcess& peer, std::string_view requirementText);

// valid only when `peer`, still alive, holds the other end of `socketFd` itself and only in
// close-on-exec descriptors, so that the image checked before this call is the one that opened
// (or was explicitly handed) the connection and no earlier image wrote on it. Called after
// processSatisfiesRequirement, while the process is pinned.
ProcessCheck processHoldsConnection(const PeerProcess& peer, int socketFd);

// Keeps debuggers of the same user from attaching to this process from now on (Linux: not
// dumpable). A signed client calls it first thing. Nothing to do where the system's runtime
// protects signed code from debuggers (macOS: the hardened runtime).
void protectOwnProcess();

// This process's own verdict, for a client's diagnostics (the helper never trusts what a process
// says of itself): whether its executable is validly signed and satisfies `requirementText`,
// and in words why not ("valid" when it is).
struct OwnSignature {
    bool valid = false;
    std::string description;
};
OwnSignature ownSignature(std::string_view requirementText);

}  // namespace nimbara
