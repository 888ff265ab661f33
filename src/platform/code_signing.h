// The operating system's code-signing service as the client check uses it: does the running
// process behind a connection satisfy a requirement text? Nothing is cached; the requirement is
// compiled on every call. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/peer_identity.h"

namespace nimbara {

// The outcome of a check. couldNotCheck means the check did not run to its end because
// descriptors or memory ran out; it says nothing about the peer, and `reason` says what ran out.
struct ProcessCheck {
    enum class Result { valid, invalid, couldNotCheck };
    Result result = Result::invalid;
    std::string reason;
};

// Prepares the service (crypto library set-up) so the first connection does not pay for it.
void warmUpCodeSigning();

// valid only when `peer` is still the same live process and its executable is validly signed
// and satisfies `requirementText`; invalid when the check ran and any of that failed.
ProcessCheck processSatisfiesRequirement(const PeerProcess& peer, std::string_view requirementText);

// This process's own verdict, for a client's diagnostics (the helper never trusts what a process
// says of itself): whether its executable is validly signed and satisfies `requirementText`,
// and in words why not ("valid" when it is).
struct OwnSignature {
    bool valid = false;
    std::string description;
};
OwnSignature ownSignature(std::string_view requirementText);

}  // namespace nimbara
