#include <fcntl.h>

#include <string>

#include "platform/code_requirement.h"
#include "platform/code_signing.h"
#include "platform/peer_identity_linux.h"
#include "platform/signed_file.h"

namespace nimbara {

void warmUpCodeSigning() {
    initCodeSigning();
}

bool processSatisfiesRequirement(const PeerProcess& peer, std::string_view requirementText) {
    if (peer.pid < 1 || !peer.pidfd) return false;
    auto requirement = compileRequirement(requirementText);
    if (!requirement) return false;
    if (processHasExited(peer.pidfd.get())) return false;
    // While the process is alive its pid names it, so this is its image; checked again below.
    std::string exe = "/proc/" + std::to_string(peer.pid) + "/exe";
    UniqueFd image(::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image || processHasExited(peer.pidfd.get())) return false;
    bool valid = verifySignedFile(image.get(), *requirement).ok();
    return valid && !processHasExited(peer.pidfd.get());
}

}  // namespace nimbara
