#!/usr/bin/env bash
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
rsync -a --delete --exclude '/build*' --exclude '.git' "$src/" "$scratch/tree/"
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
  ("mode mask 0755 -> 07777", "src/operations/tree_walk.cpp",
   "constexpr mode_t kModeMask = 0755;", "constexpr mode_t kModeMask = 07777;"),
  ("sources opened following links, the type check following too", "src/operations/tree_walk.cpp",
   [("constexpr int kSourceFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;",
     "constexpr int kSourceFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;"),
    ("        case DT_LNK:\n            return S_IFLNK;\n", "        case DT_LNK:\n            break;\n"),
    ("if (::fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) fail(\"Cannot read\", path);\n    return st.st_mode & S_IFMT;",
     "if (::fstatat(dir, e->d_name, &st, 0) != 0) fail(\"Cannot read\", path);\n    return st.st_mode & S_IFMT;"),
    ("if (::fstatat(srcDir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {\n                fail(\"Cannot read\", srcPath);",
     "if (::fstatat(srcDir, name.c_str(), &st, 0) != 0) {\n                fail(\"Cannot read\", srcPath);")]),
  ("RESOLVE_NO_SYMLINKS dropped", "src/platform/path_walk_linux.cpp",
   "RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS", "RESOLVE_BENEATH"),
  ("O_NOFOLLOW dropped in the component walk", "src/platform/path_walk.cpp",
   "stepFlags | O_NOFOLLOW | O_CLOEXEC", "stepFlags | O_CLOEXEC"),
  ("removal enters other file systems (below the item)", "src/operations/tree_walk.cpp",
   "if (st.st_dev != device || isMountRoot(fd.get())) fail(\"Cannot remove\", path, EXDEV);",
   "(void)device;"),
  # The fault once in the code: each entry compared with the item's own device, no mount check.
  ("removal enters a mount point at the item", "src/operations/tree_walk.cpp",
   [("const dev_t device = parentSt.st_dev;", "const dev_t device = st.st_dev;"),
    ("if (st.st_dev != device || isMountRoot(fd.get()))", "if (st.st_dev != device)")]),
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
  ("files copied past their size", "src/operations/tree_walk.cpp",
   "if (more > 0) fail(\"Cannot copy\", srcPath, kChangedSize);", ""),
  ("holes filled", "src/operations/tree_walk.cpp",
   "const bool sparse = allocatedBytes(st) < size;", "const bool sparse = false;"),
  ("no space check", "src/operations/bundle_ops.cpp", "if (needed.bytes > free.bytes) {",
   "if (false) {"),
  ("copies without a depth limit", "src/operations/tree_walk.cpp",
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
   "return \"Left the replaced item \" + stagedPath + \" for the next start: \" + failure.what();",
   "copyFailed(\"Failed to remove existing dest: \" + std::string(failure.what()));"),
  ("a refused connection is served", "src/host/connection.cpp",
   "        case ProcessCheck::Result::invalid:\n            return refuse();",
   "        case ProcessCheck::Result::invalid:\n            refuse();\n            break;"),
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
  ("a source may span file systems", "src/operations/tree_walk.cpp",
   "    if (st.st_dev != device) fail(\"Cannot copy\", path, kOtherFileSystem);", ""),
  ("a stalled step does not fail the copy", "src/operations/progress_watch.cpp",
   "    if (before != 0 && Clock::duration(now - before) > kStallBound) {",
   "    if (false) {"),
  ("sources on file systems served by a process are read", "src/operations/progress_watch.cpp",
   "    if (!kind.empty()) {", "    if (false) {"),
]
HOOK_ONLY = ["an item swapped between the type check and the open (needs a seam inside copyItem)"]

rows = []
for name, rel, *edits in FAULTS:
    if only and only not in name:
        continue
    edits = edits[0] if len(edits) == 1 else [tuple(edits)]
    path = f"{tree}/{rel}"
    text = open(path).read()
    if any(old not in text for old, _ in edits):
        rows.append((name, "stale")); continue
    faulty = text
    for old, new in edits:
        faulty = faulty.replace(old, new, 1)
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
