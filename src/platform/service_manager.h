// SPDX-License-Identifier: Apache-2.0
// What the service manager that started the helper hands it and hears from it: the listening
// socket it created for the helper (systemd's socket activation, launchd's Sockets key) and the
// report that the helper is ready. Called from the main thread during start-up only.
#pragma once

namespace nimbara {

// The listening socket the service manager passed to this process, made close-on-exec, or -1
// when it passed none (the helper was started by hand or without one). Sockets beyond the first
// are closed; what the service manager told the process about them is cleared, so no child sees
// it. Never fails: a malformed hand-over counts as none.
int takeListeningSocket();

// Tells the service manager that the helper serves (systemd: "READY=1" to NOTIFY_SOCKET). Does
// nothing where there is no such protocol or no one listens; failures are ignored.
void notifyReady();

}  // namespace nimbara
