// SPDX-License-Identifier: Apache-2.0
// Linux only: what /proc tells of a live client process beyond its signed executable: whether it
// runs that code as shipped (no loader variables, no tracer, no code mapped from elsewhere) and
// whether it holds a given connection itself, only in close-on-exec descriptors. The caller pins
// the process (pidfd) and checks afterwards that it is still alive, so that `procDir` named it
// throughout. Stateless; any thread.
#pragma once

#include <sys/stat.h>

#include "platform/code_signing.h"

namespace nimbara {

// valid when the process behind `procDir` (an open /proc/PID) is not traced, has no loader
// variable that loads or redirects code in its start-up environment, and maps executable code
// only from `image` (its executable, as opened for the signature check) and root-owned files of
// the system's library folders; refused with the reason otherwise; couldNotCheck when
// descriptors or memory ran out.
ProcessCheck runtimeStateOf(int procDir, const struct stat& image);

// valid when the process behind `procDir` holds the other end of `socketFd` and every descriptor
// it holds it in is close-on-exec: such a descriptor cannot have crossed an exec, so no earlier
// image of the process wrote on the connection. refused with the reason otherwise.
ProcessCheck holdsConnection(int procDir, int socketFd);

}  // namespace nimbara
