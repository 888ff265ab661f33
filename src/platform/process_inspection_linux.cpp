// SPDX-License-Identifier: Apache-2.0
#include "platform/process_inspection_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sys.h"
#include "base/unique_fd.h"

namespace nimbara {
namespace {

// Variables through which the dynamic loader loads, or looks elsewhere for, the code it runs.
constexpr std::array<std::string_view, 10> kLoaderVariables{
    "LD_PRELOAD",       "LD_AUDIT",      "LD_LIBRARY_PATH", "LD_ORIGIN_PATH",   "LD_PROFILE",
    "LD_ASSUME_KERNEL", "LD_HWCAP_MASK", "LD_DYNAMIC_WEAK", "LD_USE_LOAD_BIAS", "GLIBC_TUNABLES"};

// Folders whose files only root can change; /usr/local is left out (group staff may write it).
constexpr std::array<std::string_view, 7> kSystemLibraryFolders{
    "/usr/lib/", "/usr/lib64/", "/usr/lib32/", "/usr/libx32/", "/lib/", "/lib64/", "/lib32/"};

// A record longer than this is judged by its first bytes: names and paths fit in them.
constexpr size_t kMaxRecordBytes = 8192;
// A process holding more descriptors than this is not inspected further.
constexpr size_t kMaxDescriptors = 1 << 16;

ProcessCheck valid() {
    return {ProcessCheck::Result::valid, {}};
}
ProcessCheck refused(std::string reason) {
    return {ProcessCheck::Result::refused, std::move(reason)};
}
// A file of /proc that cannot be read: out of resources, or the process is gone (the caller's
// liveness check then refuses it anyway).
ProcessCheck unreadable(const char* what, int err) {
    if (isResourceShortage(err)) {
        return {ProcessCheck::Result::couldNotCheck,
                std::string("cannot read the process's ") + what + ": " + errnoText(err)};
    }
    return refused(std::string("cannot read its ") + what);
}

// Calls `visit` with each `separator`-ended record of the file `name` below `dir`, read in
// chunks; stops early when `visit` returns false. Returns 0, or the errno of a failed call.
int forEachRecord(int dir, const char* name, char separator,
                  const std::function<bool(std::string_view)>& visit) {
    UniqueFd fd(::openat(dir, name, O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    char chunk[16384];
    std::string record;
    bool overlong = false;
    for (;;) {
        ssize_t n = readSome(fd.get(), chunk, sizeof chunk);
        if (n < 0) return errno;
        if (n == 0) break;
        for (std::string_view rest(chunk, static_cast<size_t>(n)); !rest.empty();) {
            size_t end = rest.find(separator);
            std::string_view piece = rest.substr(0, end);
            if (!overlong) record.append(piece.substr(0, kMaxRecordBytes - record.size()));
            overlong = record.size() >= kMaxRecordBytes;
            if (end == std::string_view::npos) break;
            if (!visit(record)) return 0;
            record.clear();
            overlong = false;
            rest.remove_prefix(end + 1);
        }
    }
    if (!record.empty()) visit(record);
    return 0;
}

// A process in a user namespace of its own has every capability over its own processes there:
// it may trace the client even when that is not dumpable, take its descriptors (pidfd_getfd)
// and name any pid of its own pid namespace as a sender.
ProcessCheck userNamespaceOf(int procDir) {
    struct stat theirs, ours;
    if (::fstatat(procDir, "ns/user", &theirs, 0) != 0) return unreadable("user namespace", errno);
    if (::stat("/proc/self/ns/user", &ours) != 0) return unreadable("user namespace", errno);
    if (theirs.st_dev != ours.st_dev || theirs.st_ino != ours.st_ino)
        return refused("runs in another user namespace");
    return valid();
}

ProcessCheck tracerOf(int procDir) {
    long tracer = 0;
    int err = forEachRecord(procDir, "status", '\n', [&](std::string_view line) {
        constexpr std::string_view key = "TracerPid:";
        if (line.substr(0, key.size()) != key) return true;
        tracer = std::strtol(std::string(line.substr(key.size())).c_str(), nullptr, 10);
        return false;
    });
    if (err != 0) return unreadable("status", err);
    if (tracer != 0) return refused("traced by pid " + std::to_string(tracer));
    return valid();
}

ProcessCheck loaderVariablesOf(int procDir) {
    std::string found;
    int err = forEachRecord(procDir, "environ", '\0', [&](std::string_view entry) {
        size_t eq = entry.find('=');
        if (eq == std::string_view::npos || eq + 1 == entry.size()) return true;  // empty value
        for (std::string_view name : kLoaderVariables) {
            if (entry.substr(0, eq) == name) found = name;
        }
        return found.empty();
    });
    if (err != 0) return unreadable("environment", err);
    if (!found.empty()) return refused("loader variable " + found + " in its environment");
    return valid();
}

bool inSystemLibraryFolder(std::string_view path) {
    for (std::string_view folder : kSystemLibraryFolders) {
        if (path.substr(0, folder.size()) == folder) return true;
    }
    return false;
}

// One line of /proc/PID/maps: "start-end perms offset major:minor inode   path".
struct Mapping {
    uintptr_t start = 0, end = 0;
    bool executable = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string_view path;
};

// Reads a number in `base` from the front of `text` and drops it and the one character after it.
template <class T>
bool take(std::string_view& text, T& value, int base) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end == text.data() + text.size()) return false;
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
    return true;
}

bool parseMapping(std::string_view line, Mapping& m) {
    uint64_t start = 0, end = 0, offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    std::string_view rest = line;
    if (!take(rest, start, 16) || !take(rest, end, 16) || rest.size() < 5) return false;
    m.executable = rest[2] == 'x';
    rest.remove_prefix(5);
    if (!take(rest, offset, 16) || !take(rest, major, 16) || !take(rest, minor, 16)) return false;
    auto [after, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), inode);
    if (ec != std::errc()) return false;
    rest.remove_prefix(static_cast<size_t>(after - rest.data()));
    size_t path = rest.find_first_not_of(' ');
    m.start = static_cast<uintptr_t>(start);
    m.end = static_cast<uintptr_t>(end);
    m.device = makedev(major, minor);
    m.inode = static_cast<ino_t>(inode);
    m.path = path == std::string_view::npos ? std::string_view() : rest.substr(path);
    return true;
}

// Why the executable mapping `m` is not the process's own code or the system's, or empty.
std::string foreignCode(const Mapping& m, const struct stat& image) {
    if (m.inode == 0) {
        if (m.path == "[vdso]" || m.path == "[vsyscall]") return {};
        return "runs code from anonymous memory";
    }
    if (m.device == image.st_dev && m.inode == image.st_ino) return {};
    // The name is the process's view; the file at that name in the helper's view must be the
    // very file mapped, so a private mount over a library folder does not pass.
    struct stat st;
    if (inSystemLibraryFolder(m.path) &&
        ::fstatat(AT_FDCWD, std::string(m.path).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == m.device && st.st_ino == m.inode && st.st_uid == 0 &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return {};
    }
    return "runs code from " + std::string(m.path);
}

// Whether a page of [start, end) is no longer the file's own: code written after it was mapped
// (a debugger's breakpoint or patch, a write to /proc/PID/mem) is a private anonymous copy,
// which the page map shows as present but not file-backed, or as swapped out.
bool modifiedPages(int pagemap, uintptr_t start, uintptr_t end) {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    constexpr uint64_t kPresent = 1ull << 63, kSwapped = 1ull << 62, kFileOrShared = 1ull << 61;
    uint64_t entries[512];
    for (uintptr_t at = start / page; at < end / page;) {
        size_t count = std::min<uintptr_t>(end / page - at, std::size(entries));
        ssize_t n = ::pread(pagemap, entries, count * sizeof(uint64_t),
                            static_cast<off_t>(at * sizeof(uint64_t)));
        if (n <= 0) return true;  // unreadable: not known to be the file's
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof(uint64_t); ++i) {
            if ((entries[i] & kSwapped) ||
                ((entries[i] & kPresent) && !(entries[i] & kFileOrShared)))
                return true;
        }
        at += static_cast<uintptr_t>(n) / sizeof(uint64_t);
    }
    return false;
}

ProcessCheck mappedCodeOf(int procDir, const struct stat& image) {
    std::string why;
    dev_t lastDevice = 0;
    ino_t lastInode = 0;
    std::vector<std::pair<Mapping, std::string>> code;  // file-backed executable mappings
    int err = forEachRecord(procDir, "maps", '\n', [&](std::string_view line) {
        Mapping m;
        if (!parseMapping(line, m)) {
            why = "unreadable memory map";
            return false;
        }
        if (!m.executable) return true;
        if (m.inode != 0) code.emplace_back(m, std::string(m.path));
        if (m.inode != 0 && m.device == lastDevice && m.inode == lastInode) return true;
        why = foreignCode(m, image);
        lastDevice = m.device;
        lastInode = m.inode;
        return why.empty();
    });
    if (err != 0) return unreadable("memory map", err);
    if (!why.empty()) return refused(why);
    UniqueFd pagemap(::openat(procDir, "pagemap", O_RDONLY | O_CLOEXEC));
    if (!pagemap) return unreadable("page map", errno);
    for (const auto& [m, path] : code) {
        if (modifiedPages(pagemap.get(), m.start, m.end))
            return refused("runs modified code in " + path);
    }
    return valid();
}

// The inode of the socket at the other end of the Unix-domain `socketFd`, from the kernel's
// socket diagnostics. 0 with errno set when it cannot tell (ENOTCONN: the peer has gone).
ino_t peerSocketInode(int socketFd) {
    struct stat own;
    if (::fstat(socketFd, &own) != 0) return 0;
    UniqueFd nl(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!nl) return 0;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_ino = static_cast<uint32_t>(own.st_ino);
    query.request.udiag_show = UDIAG_SHOW_PEER;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(nl.get(), &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof query)) {
        return 0;
    }
    alignas(nlmsghdr) char answer[8192];
    ssize_t n = readSome(nl.get(), answer, sizeof answer);
    if (n < 0) return 0;
    auto* h = reinterpret_cast<nlmsghdr*>(answer);
    if (!NLMSG_OK(h, static_cast<size_t>(n)) || h->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
        errno = h->nlmsg_type == NLMSG_ERROR && NLMSG_OK(h, static_cast<size_t>(n))
                    ? -static_cast<nlmsgerr*>(NLMSG_DATA(h))->error
                    : EPROTO;
        return 0;
    }
    auto* msg = static_cast<unix_diag_msg*>(NLMSG_DATA(h));
    int left = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
    for (auto* a = reinterpret_cast<rtattr*>(msg + 1); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(a) >= sizeof(uint32_t)) {
            uint32_t peer;
            std::memcpy(&peer, RTA_DATA(a), sizeof peer);
            if (peer != 0) return peer;
        }
    }
    errno = ENOTCONN;
    return 0;
}

// Whether the descriptor `name` of the process is close-on-exec, from its fdinfo "flags:".
bool closeOnExec(int procDir, const std::string& name, int& err) {
    bool cloexec = false;
    err = forEachRecord(procDir, ("fdinfo/" + name).c_str(), '\n', [&](std::string_view line) {
        constexpr std::string_view key = "flags:";
        if (line.substr(0, key.size()) != key) return true;
        unsigned long flags =
            std::strtoul(std::string(line.substr(key.size())).c_str(), nullptr, 8);
        cloexec = (flags & O_CLOEXEC) != 0;
        return false;
    });
    return cloexec;
}

}  // namespace

ProcessCheck runtimeStateOf(int procDir, const struct stat& image) {
    for (auto step : {&userNamespaceOf, &tracerOf, &loaderVariablesOf}) {
        ProcessCheck c = step(procDir);
        if (c.result != ProcessCheck::Result::valid) return c;
    }
    return mappedCodeOf(procDir, image);
}

ProcessCheck holdsConnection(int procDir, int socketFd) {
    ino_t peer = peerSocketInode(socketFd);
    if (peer == 0) {
        if (isResourceShortage(errno)) return unreadable("connection", errno);
        return refused("cannot see the other end of the connection: " + errnoText(errno));
    }
    const std::string target = "socket:[" + std::to_string(peer) + "]";
    UniqueFd fdDir(::openat(procDir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = fdDir ? ::fdopendir(fdDir.get()) : nullptr;
    if (!listing) return unreadable("descriptors", errno);
    fdDir.release();  // the listing owns it now
    size_t seen = 0, held = 0;
    std::string why;
    char link[64];
    while (dirent* e = ::readdir(listing)) {
        if (e->d_name[0] == '.') continue;
        if (++seen > kMaxDescriptors) {
            why = "holds too many descriptors to inspect";
            break;
        }
        ssize_t n = ::readlinkat(::dirfd(listing), e->d_name, link, sizeof link);
        if (n <= 0 || std::string_view(link, static_cast<size_t>(n)) != target) continue;
        ++held;
        int err = 0;
        if (!closeOnExec(procDir, e->d_name, err)) {
            why = err != 0 ? "cannot read its descriptor flags"
                           : "holds the connection in a descriptor that is not close-on-exec";
            break;
        }
    }
    ::closedir(listing);
    if (!why.empty()) return refused(why);
    if (held == 0) return refused("does not hold the connection itself");
    return valid();
}

}  // namespace nimbara
