// SPDX-License-Identifier: Apache-2.0
// Local stream sockets as the helper and its client open and accept them: every descriptor is
// close-on-exec, and on systems without a per-call flag each socket is set never to raise
// SIGPIPE. Same result conventions as socket(2) and accept(2). Stateless; any thread.
#pragma once

namespace nimbara {

// A new Unix-domain stream socket, close-on-exec, non-blocking when asked.
// Returns the descriptor, or -1 with errno set.
int openLocalSocket(bool nonBlocking = false);

// Accepts the next connection on `listenFd` as a blocking, close-on-exec descriptor.
// Returns it, or -1 with errno set as accept(2) sets it.
int acceptConnection(int listenFd);

}  // namespace nimbara
