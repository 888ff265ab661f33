// SPDX-License-Identifier: Apache-2.0
// Linux only: the liveness of a process held by a pidfd, for the client check and its tests.
#pragma once

namespace nimbara {

// True when the process behind `pidfd` has exited (or the pidfd is unusable).
bool processHasExited(int pidfd);

}  // namespace nimbara
