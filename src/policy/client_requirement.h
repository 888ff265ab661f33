// The one client this helper serves, as a code requirement, and the check of a connected peer
// against it. verifyCodeSignature is stateless and callable from any thread.
#pragma once

#include "platform/peer_identity.h"

namespace nimbara {

inline constexpr const char* kClientRequirement =
    "identifier \"com.corvellan.nimbara\" and anchor apple generic and "
    "certificate leaf[subject.CN] = \"Developer ID Application: Edda Quillon (R7KQ2MZ9TW)\"";

// True when the peer process satisfies kClientRequirement; false on every failure.
bool verifyCodeSignature(const PeerProcess& peer);

}  // namespace nimbara
