#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A developer's fault check (not part of CI): plants each fault below, one at a time, in a
# scratch copy of the tree, rebuilds, runs the whole ctest suite and prints whether the suite
# caught it. A fault whose text no longer matches the code is reported as "stale": update it.
#   scripts/mutants.sh [SCRATCH_DIR] [NAME_FILTER]
# Runs as root (the sandbox tests need it); takes a while: one build and suite run per fault.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
scratch=${1:-/tmp/nimbara-mutants}
filter=${2:-}
if [ "$(id -u)" -ne 0 ]; then exec sudo bash "$0" "$@"; fi
mkdir -p "$scratch"
# By content, and without the source's times: a file a fault was planted in (and restored) has
# a newer time in the scratch copy than in the tree, and copying the tree's older time with new
# content would leave the build using objects of the old content.
rsync -rlpgoD --checksum --delete --exclude '/build*' --exclude '.git' "$src/" "$scratch/tree/"
cmake -S "$scratch/tree" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_BENCHMARKS=OFF >/dev/null
ninja -C "$scratch/build" >/dev/null

exec python3 - "$scratch" "$filter" <<'PY'
import subprocess, sys
scratch, only = sys.argv[1], sys.argv[2]
tree, build = scratch + "/tree", scratch + "/build"

# name, file, text in the code, text of the fault; or name, file, [(text, fault), ...] for a
# fault that takes several edits of one file together
FAULTS = [
  ("mode mask 0755 -> 07777", "src/operations/tree_items.h",
   "constexpr mode_t kModeMask = 0755;", "constexpr mode_t kModeMask = 07777;"),
  ("sources opened following links, the type check following too", "src/operations/tree_items.cpp",
   [("constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;",
     "constexpr int kSourceFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;"),
    ("        case DT_LNK:\n            return S_IFLNK;\n", "        case DT_LNK:\n            break;\n"),
    ("if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail(\"Cannot read\", path);\n    return st.st_mode & S_IFMT;",
     "if (::fstatat(dir, e->d_name, &st, 0) != 0) fail(\"Cannot read\", path);\n    return st.st_mode & S_IFMT;"),
    ("if (::fstatat(srcDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {\n                fail(\"Cannot read\", srcPath);",
     "if (::fstatat(srcDir, name.c_str(), &st, 0) != 0) {\n                fail(\"Cannot read\", srcPath);",
     "src/operations/tree_walk.cpp")]),
  ("RESOLVE_NO_SYMLINKS dropped", "src/platform/path_walk_linux.cpp",
   "RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS", "RESOLVE_BENEATH"),
  ("O_NOFOLLOW dropped in the component walk", "src/platform/path_walk.cpp",
   "stepFlags | O_NOFOLLOW | O_CLOEXEC", "stepFlags | O_CLOEXEC"),
  ("removal enters other file systems (below the item)", "src/operations/tree_remove.cpp",
   "if (st.st_dev != device_ || isMountRoot(fd.get())) {", "if (false) {"),
  # The fault once in the code: each entry compared with the item's own device, no mount check.
  ("removal enters a mount point at the item", "src/operations/tree_remove.cpp",
   [("device_ = parentSt.st_dev;", "device_ = st.st_dev;"),
    ("if (st.st_dev != device_ || isMountRoot(fd.get()))", "if (st.st_dev != device_)")]),
  ("identifier not compared", "src/platform/signed_file_linux.cpp",
   "if (cd->identifier != clause.value) {", "if (false) {"),
  ("signer name not compared", "src/platform/signed_file_linux.cpp",
   "if (*cn != clause.value) {", "if (false) {"),
  ("code hash not compared", "src/platform/signed_file_linux.cpp",
   "if (CRYPTO_memcmp(actual.data(), cd->hash.data(), actual.size()) != 0) {", "if (false) {"),
  ("grapheme boundary not checked", "src/policy/path_text.cpp",
   "return utf8proc_grapheme_break(last, next);", "return true;"),
  ("\"..\" accepted", "src/policy/path_rules.cpp",
   "if (canonical.find(\"..\") != std::string::npos) {", "if (false) {"),
  ("no pause when accept runs out of descriptors", "src/host/socket_server.cpp",
   "std::this_thread::sleep_for(kExhaustionPause);", "std::this_thread::sleep_for(kExhaustionPause * 0);"),
  ("SIGPIPE not blocked", "src/helper/main.cpp", "sigaddset(&blocked, SIGPIPE);", ""),
  ("peer not checked alive after hashing", "src/platform/code_signing_linux.cpp",
   "if (!check.ok() || processHasExited(peer.pidfd.get())) return invalid();",
   "if (!check.ok()) return invalid();"),
  ("final \".\" removed", "src/operations/bundle_ops.cpp",
   "if (at.name == \".\") removeFailed(fsReason(\"Cannot remove\", path.path, EINVAL));", ""),
  ("no staging: copy in place", "src/operations/bundle_ops.cpp",
   "const std::string staged = stagedNameFor(target.name);",
   "removeBundle(caller, dest); const std::string staged = target.name;"),
  ("sources read as root", "src/platform/credentials_linux.cpp",
   "    if (caller.uid == 0) return;\n", "    return;\n"),
  ("folders below a root trusted blindly", "src/operations/trusted_folders.cpp",
   "    if (ownerOk && writers.empty()) return \"\";", "    if (ownerOk || !ownerOk) return \"\";"),
  ("ancestors of a root trusted blindly", "src/operations/trusted_folders.cpp",
   "if (st.st_uid != 0 || (!last && !sticky && !foreignWriters(st).empty())) {",
   "if (st.st_uid == 12345 && sticky) {"),
  ("a link at the destination judged by its target", "src/operations/bundle_ops.cpp",
   "return ::fstatat(at.parent.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;",
   "return ::fstatat(at.parent.get(), at.name.c_str(), &st, 0) == 0;"),
  ("inherited ACLs kept", "src/platform/file_system_linux.cpp",
   "for (const char* acl : {\"system.posix_acl_access\", \"system.posix_acl_default\"}) {",
   "for (const char* acl : std::initializer_list<const char*>{}) {"),
  ("files copied past their size", "src/operations/file_contents.cpp",
   "if (more > 0) fail(\"Cannot copy\", srcPath, kChangedSize);", ""),
  ("holes filled", "src/operations/file_contents.cpp",
   "const bool sparse = allocatedBytes(st) < size;", "const bool sparse = false;"),
  ("no space check", "src/operations/bundle_ops.cpp", "if (needed.bytes > free.bytes) {",
   "if (false) {"),
  ("copies without a depth limit", "src/operations/tree_measure.cpp",
   "if (levels.size() >= kMaxCopyDepth) fail(\"Cannot copy\", path, tooDeep());", ""),
  ("no sweep at start", "src/host/socket_server.cpp",
   "        sweepLeftovers(journal_, [](const std::string& line) { log(line); });", ""),
  ("a stop does not abandon the copy", "src/host/socket_server.cpp",
   "    requestStop(start + bound * 2 / 3);\n", "\n"),
  ("a second instance serves beside the first", "src/host/socket_server.cpp",
   "throw SocketError::bindFailed(EADDRINUSE);", "return false;"),
  ("a state folder others can write is trusted", "src/operations/staging_journal.cpp",
   "if ((st.st_mode & 022) != 0) throw FsFailure(folder + \" is writable by others\");", ""),
  ("plain ping answered for another version", "src/protocol/messages.cpp",
   "kTail = \"\\\",\\\"v\\\":1,", "kTail = \"\\\",\\\"v\\\":2,"),
  ("a replaced item that cannot go fails the copy", "src/operations/bundle_ops.cpp",
   "return \"Left the replaced item \" + copy.path + \" for the next start: \" + failure.what();",
   "copyFailed(\"Failed to remove existing dest: \" + std::string(failure.what()));"),
  ("a refused connection is served", "src/host/connection.cpp",
   "        case ProcessCheck::Result::invalid:\n            return refuse(\"signature invalid\");",
   "        case ProcessCheck::Result::invalid:\n            refuse(\"signature invalid\");\n            break;"),
  ("loader variables not looked at", "src/platform/process_inspection_linux.cpp",
   "for (auto step : {&userNamespaceOf, &tracerOf, &loaderVariablesOf}) {",
   "for (auto step : {&userNamespaceOf, &tracerOf}) {"),
  ("another user namespace not looked at", "src/platform/process_inspection_linux.cpp",
   "for (auto step : {&userNamespaceOf, &tracerOf, &loaderVariablesOf}) {",
   "for (auto step : {&tracerOf, &loaderVariablesOf}) {"),
  ("a tracer not looked at", "src/platform/process_inspection_linux.cpp",
   "for (auto step : {&userNamespaceOf, &tracerOf, &loaderVariablesOf}) {",
   "for (auto step : {&userNamespaceOf, &loaderVariablesOf}) {"),
  ("mapped code not looked at", "src/platform/process_inspection_linux.cpp",
   "    return mappedCodeOf(procDir, image);", "    return valid();"),
  ("modified code pages not looked at", "src/platform/process_inspection_linux.cpp",
   "if (modifiedPages(pagemap.get(), m.start, m.end))", "if (false)"),
  ("the connection's holder not looked at", "src/policy/client_requirement.cpp",
   "    return processHoldsConnection(peer, socketFd);", "    return signature;"),
  ("a descriptor that survives exec accepted", "src/platform/process_inspection_linux.cpp",
   "if (!closeOnExec(procDir, e->d_name, err)) {", "if (false) {"),
  ("bytes of another writer served", "src/host/connection.cpp",
   "        if (!got.fromPeer) {", "        if (false) {"),
  ("the writer of a chunk not compared", "src/platform/peer_identity_linux.cpp",
   "chunk.fromPeer = peer.pid > 0 && chunk.sender == peer.pid;", "chunk.fromPeer = true;"),
  ("pending limit raised", "src/host/connection.cpp",
   "if (pending.size() > kMaxPendingBytes) {", "if (pending.size() > 2 * kMaxPendingBytes) {"),
  ("duplicate keys accepted", "src/protocol/messages.cpp",
   "if (!keys_.back().insert(k).second) return fail(", "if (!keys_.back().insert(k).second && false) return fail("),
  ("a NUL byte accepted", "src/protocol/messages.cpp",
   "if (text.find('\\0') != std::string_view::npos)", "if (false)"),
  ("log lines not escaped", "src/host/log.cpp",
   "    if (c >= 0x20 && c != 0x7f) return {};", "    if (c != '\\\\') return {};"),
  ("no cap per user", "src/host/connection_limits.cpp",
   "if (mine >= perUserCap_) return Admission::userAtCap;", ""),
  ("resource trouble reported as a bad signature", "src/platform/code_signing_linux.cpp",
   "return {ProcessCheck::Result::couldNotCheck, std::string(what) + \": \" + errnoText(err)};",
   "return {ProcessCheck::Result::invalid, std::string(what) + \": \" + errnoText(err)};"),
  ("umask inherited", "src/helper/main.cpp", "    ::umask(022);", ""),
  ("a plug-in folder removed", "src/operations/bundle_ops.cpp",
   "if (path.path == path.root) removeFailed(plugInFolder(\"Cannot remove\", path.root));", ""),
  ("a removal starts before the owners below are checked", "src/operations/tree_remove.cpp",
   "    checkOwnersBelow(dir, name, path, caller);\n", ""),
  ("a copy does not check the owners below its destination", "src/operations/bundle_ops.cpp",
   "if (exists(target))\n            checkOwnersBelow(", "if (false)\n            checkOwnersBelow("),
  ("the swapped-out item not checked again", "src/operations/bundle_ops.cpp",
   "if (caller.uid != 0 && old.st_uid != 0 && old.st_uid != caller.uid) {", "if (false) {"),
  ("the sweep removes anyone's item", "src/operations/bundle_ops.cpp",
   "removeTree(at.parent.get(), at.name, path, entry.caller);",
   "removeTree(at.parent.get(), at.name, path, 0);"),
  ("the caller's own old item recorded", "src/operations/bundle_ops.cpp",
   "        if (old.st_uid == 0) {", "        if (true) {"),
  ("no cap per user on the record", "src/operations/staging_journal.cpp",
   "if (static_cast<size_t>(mine) >= kMaxEntriesPerUser) {", "if (false) {"),
  ("a leftover removed by request still counts", "src/operations/bundle_ops.cpp",
   "    if (journal) journal->remove(path.path);", ""),
  ("no cap in all on the record", "src/operations/staging_journal.cpp",
   "if (entries_.size() >= kMaxEntries) {", "if (false) {"),
  ("the record rewritten in place", "src/operations/staging_journal.cpp",
   "kNewRecordName = \"staged.new\";", "kNewRecordName = \"staged\";"),
  ("the record read up to 1 MiB", "src/operations/staging_journal.cpp",
   "for (ssize_t n; (n = readSome(", "for (ssize_t n; text.size() < (1 << 20) && (n = readSome("),
  ("another user's folder taken for a new one", "src/operations/trusted_folders.cpp",
   "if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||", "if (!S_ISDIR(st.st_mode) ||"),
  ("openat2 refused by a filter is final", "src/platform/path_walk_linux.cpp",
   "if (errno != ENOSYS && errno != EPERM) {", "if (errno != ENOSYS) {"),
  ("a failed switch to the caller destroys the scope", "src/platform/credentials_linux.cpp",
   "        restore();  // the destructor", "        this->~CallerIdentityScope();  // the destructor"),
  ("journal stream matched by its device alone", "src/host/log_journal.cpp",
   "wantDev == dev && wantIno == ino;", "wantDev == dev;"),
  ("timestamped lines written to the journal", "src/host/log.cpp",
   "logGoesToJournal() ? formatJournalLine(priority, message)",
   "false ? formatJournalLine(priority, message)"),
  ("a file at the socket path reported as a stale socket", "src/host/socket_server.cpp",
   "if (S_ISSOCK(mode)) return \"Cleaned up stale socket at \" + path;",
   "if (mode) return \"Cleaned up stale socket at \" + path;"),
  ("the socket from the service manager shut down and removed at stop", "src/host/socket_server.cpp",
   "    int fd = serverSocket_.exchange(-1);\n    if (adopted_) {",
   "    int fd = serverSocket_.exchange(-1);\n    if (false) {"),
  ("the socket from the service manager not checked", "src/host/socket_server.cpp",
   "if (!listensAt(serverSocket_.load(), socketPath_)) throw", "if (false) throw"),
  ("a listening socket at the path taken by a helper holding the lock", "src/host/socket_server.cpp",
   "    cleanupStaleSocket();\n    int fd", "    ::unlink(socketPath_.c_str());\n    int fd"),
  ("the passed socket ignored", "src/helper/main.cpp",
   "nimbara::takeListeningSocket(); passed >= 0)", "nimbara::takeListeningSocket(); passed < -1)"),
  ("readiness not reported", "src/helper/main.cpp", "    nimbara::notifyReady();\n", ""),
  ("sockets passed to another pid taken", "src/platform/service_manager_linux.cpp",
   "if (pid != static_cast<long>(::getpid()) || count < 1", "if (count < 1"),
  ("a development build installs without the opt-in", "packaging/CMakeLists.txt",
   "    if(NOT NIMBARA_INSTALL_DEVELOPMENT_IDENTITY)\n", "    if(FALSE)\n"),
  ("the signed client stripped at install", "packaging/CMakeLists.txt",
   "if(NIMBARA_CLIENT_SIGNED)", "if(FALSE)"),
  ("no immediate binding", "cmake/Hardening.cmake", "  add_link_options(LINKER:-z,now)\n", ""),
  ("no FORTIFY", "cmake/Hardening.cmake",
   "  add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)\n", ""),
  ("doctor: plug-in folders not reported", "src/client/doctor_folders.cpp",
   "    if (troubles.empty()) {", "    if (true) {"),
  ("doctor: a plug-in folder's owner not checked", "src/client/doctor_folders.cpp",
   "    if (st.st_uid != 0) return \"owned by uid \"", "    if (false) return \"owned by uid \""),
  ("doctor: a state folder open to others passes", "src/client/doctor_folders.cpp",
   "st.st_uid != 0 || (st.st_mode & 077) != 0) {", "st.st_uid != 0) {"),
  ("sandbox folders opened before the tmpfs mounts hide them", "scripts/sandbox.sh",
   [("--new-session \"${var[@]}\"\n", "--new-session \"${var[@]}\" \"${open_dirs[@]}\"\n"),
    ("--tmpfs /Users \"${open_dirs[@]}\"\n", "--tmpfs /Users\n")]),
  ("operations run first come, first served", "src/host/operation_turns.cpp",
   [("    if (user.tickets.size() == 1 && runningUser_ != uid) order_.push_back(uid);",
     "    order_.push_back(uid);"),
    ("        order_.push_back(uid);  // behind everyone who waited while it ran", "")]),
  ("no cap on a user's waiting operations", "src/host/operation_turns.cpp",
   "if (user.queued >= kMaxOperationsPerUser) return false;", ""),
  ("operation lines not limited per user", "src/host/operation_log.cpp",
   "        if (!refill(mine, now)) {", "        if (false) {"),
  ("held-back operation lines not counted", "src/host/operation_log.cpp",
   "            if (mine.heldBack > 0) write(heldBackText(uid, mine.heldBack));", ""),
  ("long paths logged whole", "src/host/operation_log.cpp",
   "    if (text.size() <= limit) return std::string(text);", "    return std::string(text);"),
  ("a path shortened inside a character", "src/host/operation_log.cpp",
   "    while (head > 0 && continuationByte(text[head])) --head;", ""),
  ("connections whose peer has gone keep counting", "src/host/connection_limits.cpp",
   [("    if (perUser_[uid] >= perUserCap_) dropGoneWaiters(uid, false);", ""),
    ("    if (!me.gone && peerHungUp(fd)) {", "    if (false) {")]),
  ("a source may span file systems", "src/operations/tree_items.cpp",
   "    if (st.st_dev != device) fail(\"Cannot copy\", path, kOtherFileSystem);", ""),
  ("a stalled step does not fail the copy", "src/operations/progress_watch.cpp",
   "    if (before != 0 && Clock::duration(now - before) > kStallBound) {",
   "    if (false) {"),
  ("sources on file systems served by a process are read", "src/operations/progress_watch.cpp",
   "    if (!kind.empty()) {", "    if (false) {"),
  ("log rotation: the log reopened through a link", "src/host/log_file.cpp",
   "O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC",
   "O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC"),
  ("log rotation: the log reopened into a file with a second name or another user's",
   "src/host/log_file.cpp",
   [("if (st.st_uid != ::geteuid()) return", "if (false) return"),
    ("if (st.st_nlink != 1) return", "if (false) return")]),
  ("log rotation: the path asked for at the signal (the rotated file's new name)",
   "src/host/log_file.cpp", "UniqueFd fd(::open(path_.c_str(),",
   "UniqueFd fd(::open(pathOfOpenFile(STDOUT_FILENO).c_str(),"),
  ("log rotation: the pid file left behind at stop", "src/helper/main.cpp",
   "        pidFile.remove();\n", ""),
  ("macOS package: postinstall fails the install when launchd refuses the job",
   "packaging/macos/scripts/postinstall",
   "echo \"postinstall: could not start $label: $out\"", "exit 1"),
  ("macOS package: package scripts act on a volume that is not the running system",
   "packaging/macos/scripts/postinstall", 'if [ "${3:-}" != / ]; then', "if false; then"),
  ("macOS package: postinstall bootstraps while the old job is still going",
   "packaging/macos/scripts/postinstall", '[ "$waited" -lt 100 ]', "false"),
  ("state folder: the system's links refused", "src/operations/staging_journal.cpp",
   "LinksOnTheWay::rootsAllowed", "LinksOnTheWay::refused"),
  ("pid file: the system's links refused", "src/host/pid_file.cpp",
   "LinksOnTheWay::rootsAllowed", "LinksOnTheWay::refused"),
  ("space: a file's data beyond its measured blocks not charged to the copy", "src/operations/tree_walk.cpp",
   "if (wrote > takes) written_ += wrote - takes;", "(void)wrote;"),
  ("state folder: a user's link followed", "src/operations/trusted_folders.cpp",
   "if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||\n        st.st_uid != 0) {",
   "if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {"),
  ("state folder: a link of root's followed in a sticky folder others may write", "src/operations/trusted_folders.cpp",
   "links == LinksOnTheWay::rootsAllowed &&\n            foreignWriters(st).empty() &&", "links == LinksOnTheWay::rootsAllowed &&\n            true &&"),
  ("plug-in folders' walks follow root's links", "src/operations/trusted_folders.h",
   "LinksOnTheWay links = LinksOnTheWay::refused);", "LinksOnTheWay links = LinksOnTheWay::rootsAllowed);"),
  ("an untrusted hole map: a failed seek fails the copy", "src/operations/file_contents.cpp",
   "if (hole < 0 || hole < data) return false;", "if (hole < 0 || hole < data) fail(\"Cannot read\", srcPath);"),
  ("an untrusted hole map: a file with blocks and no data copied as holes", "src/operations/file_contents.cpp",
   "return copied > 0 || st.st_blocks == 0;", "return true;"),
  ("the client gives up on a refusing socket at once", "src/client/helper_client.cpp",
   "constexpr int kConnectAttempts = 5;", "constexpr int kConnectAttempts = 1;"),
]
HOOK_ONLY = ["a library judged by its name alone (a private mount over a library folder needs a user namespace of one's own, refused first)",
             "an item swapped between the type check and the open (needs a seam inside copyItem)",
             "a removal that does not take over each folder before listing it (a race: another "
             "user's item moved in while the removal runs)",
             "a created folder used without verifying it (a race: a folder swapped in after mkdirat)"]

rows = []
for name, rel, *edits in FAULTS:
    if only and only not in name:
        continue
    edits = edits[0] if len(edits) == 1 else [tuple(edits)]
    # an edit may name a file of its own as a third item: one fault across several files
    files = {}
    for edit in edits:
        path = f"{tree}/{edit[2] if len(edit) > 2 else rel}"
        files.setdefault(path, open(path).read())
    if any(e[0] not in files[f"{tree}/{e[2] if len(e) > 2 else rel}"] for e in edits):
        rows.append((name, "stale")); continue
    originals = dict(files)
    for edit in edits:
        path = f"{tree}/{edit[2] if len(edit) > 2 else rel}"
        files[path] = files[path].replace(edit[0], edit[1], 1)
    for path, faulty in files.items():
        open(path, "w").write(faulty)
    try:
        built = subprocess.run(["ninja", "-C", build], capture_output=True).returncode == 0
        if not built:
            verdict = "caught (build)"
        else:
            suite = subprocess.run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure",
                                    "--timeout", "300"], capture_output=True, text=True)
            verdict = "caught" if suite.returncode != 0 else "SURVIVED"
    finally:
        for path, text in originals.items():
            open(path, "w").write(text)
    rows.append((name, verdict))
    print(f"{verdict:16} {name}", flush=True)
subprocess.run(["ninja", "-C", build], capture_output=True)
print("\n| planted fault | result |\n|---|---|")
for name, verdict in rows:
    print(f"| {name} | {verdict} |")
for name in HOOK_ONLY:
    print(f"| {name} | not planted: hook only |")
PY
