// SPDX-License-Identifier: Apache-2.0
// The daemon's entry point: one SocketServer at the fixed path, on the socket the service
// manager passed or one of its own, SIGTERM/SIGINT turned into an orderly stop on a thread of
// their own, readiness reported once it listens, and a fatal line with status 1 when the socket
// cannot be set up. Takes no arguments; reads only what the service manager sets.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "base/sys.h"
#include "host/socket_server.h"
#include "platform/code_signing.h"
#include "platform/service_manager.h"
#include "platform/system_paths.h"

namespace {

std::shared_ptr<nimbara::SocketServer> server;

// How long a stop waits for the running file operation to give up and remove what it staged;
// well inside the time service managers allow before they kill (launchd and systemd: 10 s+).
constexpr auto kStopBound = std::chrono::seconds(7);

// Waits for SIGTERM or SIGINT, then stops: close the socket, remove its file, log, exit 0.
// _exit skips destructors that connection threads may still be using.
void waitForStopSignal(sigset_t signals) {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    server->stop(kStopBound);
    nimbara::SocketServer::log("Stopped");
    std::fflush(stdout);
    _exit(0);
}

}  // namespace

int main() {
    // A known start: no socket or file of ours may become a standard descriptor (log lines would
    // go to a client), and what we create gets the modes we ask for, whatever the parent had.
    if (!nimbara::openStandardDescriptors()) _exit(1);
    ::umask(022);
    // Blocked before any thread exists, so every thread inherits the mask and only the waiting
    // thread ever receives these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // SIGPIPE stays blocked for good: a log reader that went away makes writes fail with EPIPE
    // instead of killing the helper.
    sigset_t blocked = signals;
    sigaddset(&blocked, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    server = std::make_shared<nimbara::SocketServer>(nimbara::kSocketPath, nimbara::kStateFolder);
    // Taken while this is the only thread: it clears what the service manager set.
    if (int passed = nimbara::takeListeningSocket(); passed >= 0) {
        server->adoptListeningSocket(passed);
    }
    std::thread(waitForStopSignal, signals).detach();
    nimbara::warmUpCodeSigning();

    try {
        server->start();
    } catch (const std::exception& e) {
        nimbara::writeAll(STDOUT_FILENO,
                          nimbara::formatFatalLine(e.what(), nimbara::logGoesToJournal()));
        _exit(1);
    }
    nimbara::notifyReady();
    for (;;) pause();
}
