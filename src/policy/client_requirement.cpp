#include "policy/client_requirement.h"

#include "platform/code_signing.h"

namespace nimbara {

ProcessCheck verifyCodeSignature(const PeerProcess& peer) {
    return processSatisfiesRequirement(peer, kClientRequirement);
}

}  // namespace nimbara
