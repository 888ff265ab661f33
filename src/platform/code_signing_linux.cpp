#include <errno.h>
#include <fcntl.h>

#include <string>

#include "base/sys.h"
#include "platform/code_requirement.h"
#include "platform/code_signing.h"
#include "platform/executable_info.h"
#include "platform/peer_identity_linux.h"
#include "platform/signed_file.h"

namespace nimbara {
namespace {

ProcessCheck invalid() {
    return {ProcessCheck::Result::invalid, {}};
}

ProcessCheck shortOf(const char* what, int err) {
    return {ProcessCheck::Result::couldNotCheck, std::string(what) + ": " + errnoText(err)};
}

}  // namespace

void warmUpCodeSigning() {
    initCodeSigning();
}

ProcessCheck processSatisfiesRequirement(const PeerProcess& peer,
                                         std::string_view requirementText) {
    if (peer.pid < 1) return invalid();
    if (!peer.pidfd) {
        if (isResourceShortage(peer.pinError))
            return shortOf("cannot pin the process", peer.pinError);
        return invalid();
    }
    auto requirement = compileRequirement(requirementText);
    if (!requirement) return invalid();
    if (processHasExited(peer.pidfd.get())) return invalid();
    // While the process is alive its pid names it, so this is its image; checked again below.
    std::string exe = "/proc/" + std::to_string(peer.pid) + "/exe";
    UniqueFd image(::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image && isResourceShortage(errno)) return shortOf("cannot open the executable", errno);
    if (!image || processHasExited(peer.pidfd.get())) return invalid();
    SignatureCheck check = verifySignedFile(image.get(), *requirement);
    if (check.couldNotCheck()) return {ProcessCheck::Result::couldNotCheck, check.describe()};
    if (!check.ok() || processHasExited(peer.pidfd.get())) return invalid();
    return {ProcessCheck::Result::valid, {}};
}

OwnSignature ownSignature(std::string_view requirementText) {
    std::string path = ownExecutablePath();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    auto requirement = compileRequirement(requirementText);
    if (!requirement) return {false, "the requirement does not compile"};
    if (!fd) return {false, "cannot open " + path + ": " + errnoText(errno)};
    // The same verdict and words as the signing tool's verify command.
    SignatureCheck check = verifySignedFile(fd.get(), *requirement);
    return {check.ok(), check.describe()};
}

}  // namespace nimbara
