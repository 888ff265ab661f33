// The operating system's code-signing service as the client check uses it: does the running
// process behind a connection satisfy a requirement text? Every failure answers false; nothing
// is cached; the requirement is compiled on every call. Stateless; any thread.
#pragma once

#include <string_view>

#include "platform/peer_identity.h"

namespace nimbara {

// Prepares the service (crypto library set-up) so the first connection does not pay for it.
void warmUpCodeSigning();

// True only when `peer` is still the same live process and its executable is validly signed
// and satisfies `requirementText`.
bool processSatisfiesRequirement(const PeerProcess& peer, std::string_view requirementText);

}  // namespace nimbara
