// SPDX-License-Identifier: Apache-2.0
// The one client this helper serves, as a code requirement, and the check of a connected peer
// against it. verifyCodeSignature is stateless and callable from any thread.
#pragma once

#include "platform/code_signing.h"
#include "platform/peer_identity.h"

namespace nimbara {

inline constexpr const char* kClientRequirement =
    "identifier \"com.corvellan.nimbara\" and anchor apple generic and "
    "certificate leaf[subject.CN] = \"Developer ID Application: Edda Quillon (R7KQ2MZ9TW)\"";

// Whether the peer process satisfies kClientRequirement, runs that code as shipped and holds the
// connection `socketFd` itself (see processSatisfiesRequirement and processHoldsConnection, in
// that order); couldNotCheck when the check could not run for lack of resources.
ProcessCheck verifyCodeSignature(const PeerProcess& peer, int socketFd);

}  // namespace nimbara
