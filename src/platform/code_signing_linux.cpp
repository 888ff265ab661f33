// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <string>

#include "base/sys.h"
#include "platform/code_requirement.h"
#include "platform/code_signing.h"
#include "platform/executable_info.h"
#include "platform/peer_identity_linux.h"
#include "platform/process_inspection_linux.h"
#include "platform/signed_file.h"

namespace nimbara {
namespace {

ProcessCheck invalid() {
    return {ProcessCheck::Result::invalid, {}};
}

ProcessCheck shortOf(const char* what, int err) {
    return {ProcessCheck::Result::couldNotCheck, std::string(what) + ": " + errnoText(err)};
}

// /proc/PID of the pinned peer; invalid with errno set when it cannot be opened.
UniqueFd openProcessFolder(const PeerProcess& peer) {
    if (!peer.pidfd) {
        errno = ESRCH;
        return UniqueFd();
    }
    std::string path = "/proc/" + std::to_string(peer.pid);
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    // While the process is alive its pid names it, so this is its folder and its image; the
    // liveness is checked again at the end.
    UniqueFd procDir = openProcessFolder(peer);
    if (!procDir && isResourceShortage(errno)) return shortOf("cannot open /proc", errno);
    UniqueFd image(procDir ? ::openat(procDir.get(), "exe", O_RDONLY | O_CLOEXEC) : -1);
    if (!image && isResourceShortage(errno)) return shortOf("cannot open the executable", errno);
    struct stat st;
    if (!image || ::fstat(image.get(), &st) != 0 || processHasExited(peer.pidfd.get()))
        return invalid();
    // Cheap checks first: a huge file is hashed only for a process worth it.
    ProcessCheck state = runtimeStateOf(procDir.get(), st);
    if (state.result != ProcessCheck::Result::valid) return state;
    SignatureCheck check = verifySignedFile(image.get(), *requirement);
    if (check.couldNotCheck()) return {ProcessCheck::Result::couldNotCheck, check.describe()};
    if (!check.ok() || processHasExited(peer.pidfd.get())) return invalid();
    return {ProcessCheck::Result::valid, {}};
}

ProcessCheck processHoldsConnection(const PeerProcess& peer, int socketFd) {
    UniqueFd procDir = openProcessFolder(peer);
    if (!procDir) {
        if (isResourceShortage(errno)) return shortOf("cannot open /proc", errno);
        return invalid();
    }
    ProcessCheck held = holdsConnection(procDir.get(), socketFd);
    // The folder named this process only if it is still alive now.
    if (processHasExited(peer.pidfd.get())) return invalid();
    return held;
}

void protectOwnProcess() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // only root (CAP_SYS_PTRACE) may then attach or read it
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
