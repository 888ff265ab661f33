// The one client this helper serves, as a code requirement, and the check of a connected peer
// against it. verifyCodeSignature is stateless and callable from any thread.
#pragma once

#include "platform/code_signing.h"
#include "platform/peer_identity.h"

namespace nimbara {

inline constexpr const char* kClientRequirement =
    "identifier \"com.corvellan.nimbara\" and anchor apple generic and "
    "certificate leaf[subject.CN] = \"Developer ID Application: Edda Quillon (R7KQ2MZ9TW)\"";

// Whether the peer process satisfies kClientRequirement; couldNotCheck when the check could not
// run for lack of resources (see processSatisfiesRequirement).
ProcessCheck verifyCodeSignature(const PeerProcess& peer);

}  // namespace nimbara
