// SPDX-License-Identifier: Apache-2.0
// The daemon's entry point: one SocketServer at the fixed path, on the socket the service
// manager passed or one of its own, SIGTERM/SIGINT turned into an orderly stop and SIGHUP into a
// reopened log file on a thread of their own, readiness reported and the pid file written once
// it listens, and a fatal line with status 1 when the socket cannot be set up. Takes no
// arguments; reads only what the service manager sets.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/sys.h"
#include "host/log_file.h"
#include "host/pid_file.h"
#include "host/socket_server.h"
#include "platform/code_signing.h"
#include "platform/service_manager.h"
#include "platform/system_paths.h"

namespace {

std::shared_ptr<nimbara::SocketServer> server;

// How long a stop waits for the running file operation to give up and remove what it staged;
// well inside the time service managers allow before they kill (launchd and systemd: 10 s+).
constexpr auto kStopBound = std::chrono::seconds(7);

// The pid file and whether the stop has begun, so that a stop during start-up never leaves a
// file naming a process that is gone.
std::mutex pidFileMutex;
nimbara::PidFile pidFile;
bool stopping = false;

// Opens the log file anew after a rotation, and says how that went in the (new) log.
void reopenLog(const nimbara::LogFile& logFile) {
    if (logFile.path().empty()) {
        nimbara::SocketServer::log(nimbara::kNothingToReopen);
    } else if (std::string why = logFile.reopen(); why.empty()) {
        nimbara::SocketServer::log(nimbara::reopenedText(logFile.path()));
    } else {
        nimbara::SocketServer::log(nimbara::reopenFailedText(logFile.path(), why),
                                   nimbara::LogPriority::error);
    }
}

// Writes the pid file the log rotation signals by, when the log is a file of its own and no
// stop has begun.
void writePidFile(const nimbara::LogFile& logFile) {
    std::lock_guard lock(pidFileMutex);
    if (stopping || logFile.path().empty()) return;
    try {
        pidFile = nimbara::PidFile::create(nimbara::kStateFolder);
    } catch (const std::exception& e) {
        std::string text =
            "Cannot write the pid file, so a log rotation cannot signal the helper: ";
        nimbara::SocketServer::log(text.append(e.what()), nimbara::LogPriority::error);
    }
}

// Waits for the signals: SIGHUP reopens the log file; SIGTERM or SIGINT stop (close the socket,
// remove its file and the pid file, log, exit 0). _exit skips destructors that connection
// threads may still be using.
void waitForSignals(sigset_t signals, nimbara::LogFile logFile) {
    int received = 0;
    for (;;) {
        if (sigwait(&signals, &received) != 0) continue;
        if (received != SIGHUP) break;
        reopenLog(logFile);
    }
    server->stop(kStopBound);
    {
        std::lock_guard lock(pidFileMutex);
        stopping = true;
        pidFile.remove();
    }
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
    sigaddset(&signals, SIGHUP);
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
    const nimbara::LogFile logFile = nimbara::LogFile::ofStandardOutput();
    std::thread(waitForSignals, signals, logFile).detach();
    nimbara::warmUpCodeSigning();

    try {
        server->start();
    } catch (const std::exception& e) {
        nimbara::writeAll(STDOUT_FILENO,
                          nimbara::formatFatalLine(e.what(), nimbara::logGoesToJournal()));
        _exit(1);
    }
    writePidFile(logFile);
    nimbara::notifyReady();
    for (;;) pause();
}
