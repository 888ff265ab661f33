// SPDX-License-Identifier: Apache-2.0
#include <errno.h>
#include <libproc.h>
#include <sys/proc_info.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/sys.h"
#include "platform/code_signing.h"

namespace nimbara {
namespace {

ProcessCheck refused(std::string reason) {
    return {ProcessCheck::Result::refused, std::move(reason)};
}

// The socket behind descriptor `fd` of process `pid`; false when it is not a local socket.
bool localSocketOf(pid_t pid, int fd, socket_fdinfo& info) {
    return proc_pidfdinfo(pid, fd, PROC_PIDFDSOCKETINFO, &info, sizeof info) ==
               static_cast<int>(sizeof info) &&
           info.psi.soi_kind == SOCKINFO_UN;
}

// When the process started: with the pid, what tells it apart from a later one with that pid.
bool startOf(pid_t pid, uint64_t& sec, uint64_t& usec) {
    proc_bsdinfo info;
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) !=
        static_cast<int>(sizeof info)) {
        return false;
    }
    sec = info.pbi_start_tvsec;
    usec = info.pbi_start_tvusec;
    return true;
}

}  // namespace

ProcessCheck processHoldsConnection(const PeerProcess& peer, int socketFd) {
    // The kernel's handle of the peer's socket, as our end knows it.
    socket_fdinfo own{};
    if (!localSocketOf(::getpid(), socketFd, own) || own.psi.soi_proto.pri_un.unsi_conn_pcb == 0)
        return refused("cannot see the other end of the connection");
    const uint64_t peerSocket = own.psi.soi_proto.pri_un.unsi_conn_pcb;
    uint64_t sec = 0, usec = 0, secAfter = 0, usecAfter = 0;
    if (peer.pid < 1 || !startOf(peer.pid, sec, usec)) return {ProcessCheck::Result::invalid, {}};
    int bytes = proc_pidinfo(peer.pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (bytes <= 0) return refused("cannot list its descriptors");
    std::vector<proc_fdinfo> fds(static_cast<size_t>(bytes) / sizeof(proc_fdinfo) + 16);
    bytes = proc_pidinfo(peer.pid, PROC_PIDLISTFDS, 0, fds.data(),
                         static_cast<int>(fds.size() * sizeof(proc_fdinfo)));
    if (bytes <= 0) return refused("cannot list its descriptors");
    fds.resize(static_cast<size_t>(bytes) / sizeof(proc_fdinfo));
    size_t held = 0;
    for (const proc_fdinfo& fd : fds) {
        socket_fdinfo theirs{};
        if (fd.proc_fdtype != PROX_FDTYPE_SOCKET || !localSocketOf(peer.pid, fd.proc_fd, theirs) ||
            theirs.psi.soi_pcb != peerSocket) {
            continue;
        }
        ++held;
        if (!(theirs.pfi.fi_status & PROC_FP_CLEXEC))
            return refused("holds the connection in a descriptor that is not close-on-exec");
    }
    // The same process throughout: a later one with the pid started later.
    if (!startOf(peer.pid, secAfter, usecAfter) || secAfter != sec || usecAfter != usec)
        return {ProcessCheck::Result::invalid, {}};
    if (held == 0) return refused("does not hold the connection itself");
    return {ProcessCheck::Result::valid, {}};
}

}  // namespace nimbara
