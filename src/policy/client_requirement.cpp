// SPDX-License-Identifier: Apache-2.0
#include "policy/client_requirement.h"

#include "platform/code_signing.h"

namespace nimbara {

ProcessCheck verifyCodeSignature(const PeerProcess& peer, int socketFd) {
    ProcessCheck signature = processSatisfiesRequirement(peer, kClientRequirement);
    if (signature.result != ProcessCheck::Result::valid) return signature;
    // After the image was checked: a connection still held close-on-exec now cannot have
    // crossed an exec since, so that image is the one that wrote on it.
    return processHoldsConnection(peer, socketFd);
}

}  // namespace nimbara
