// The helper as root against an unprivileged attacker (uid 1000) who controls a world-writable
// plug-in folder and their own folder under /Users.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace nimbara {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::runInSandbox;

// Common set-up: a root-only canary outside every allowed place, and the attacker's footholds.
const char* kSetup = R"SH(
    mkdir -p "$VST3" /Users/eve /tmp/canary /Library/Secret
    chmod 0777 "$VST3"; chown 1000:1000 /Users/eve
    echo canary > /tmp/canary/file; chmod 0700 /tmp/canary
    echo secret > /Library/Secret/key; chmod 0700 /Library/Secret
    as_user mkdir -p /Users/eve/Good.vst3/Contents
    as_user sh -c 'echo code > /Users/eve/Good.vst3/Contents/bin'
    start_helper
    # Prints the client's exit status after its output.
    c() { "$C" "$@" 2>&1; echo "exit=$?"; }
)SH";

TEST(Attack, LinksPlantedBelowARootAreNeverFollowed) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        as_user ln -s /tmp/canary "$VST3/evil"
        echo "== remove"; c remove "$VST3/evil/file"
        echo "== mkdir"; c mkdir "$VST3/evil/new"
        echo "== copy"; c copy /Users/eve/Good.vst3 "$VST3/evil/Good.vst3"
        echo "== canary: $(cat /tmp/canary/file) $(ls /tmp/canary | tr '\n' ' ')"
        echo "== remove-link"; c remove "$VST3/evil"
        [ -e "$VST3/evil" ] || echo "link-removed"; cat /tmp/canary/file
        stop_helper; show_log)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, HasSubstr("== canary: canary file \n"));
    EXPECT_THAT(run.output, HasSubstr("link-removed\ncanary\n"));
    EXPECT_THAT(
        run.output,
        HasSubstr("remove failed: Remove failed: Cannot reach "
                  "/Library/Audio/Plug-Ins/VST3/evil/file: Too many levels of symbolic links"));
    EXPECT_THAT(run.output, HasSubstr("mkdir failed: Mkdir failed: "));
    EXPECT_THAT(run.output, HasSubstr("copy failed: Copy failed: "));
}

TEST(Attack, SourcesThroughLinksToRootOnlyFoldersAreNeverCopied) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        as_user ln -s /Library/Secret /Users/eve/Secret.vst3
        as_user ln -s / /Users/eve/root
        echo "== through"; c copy /Users/eve/root/Library/Secret "$VST3/Stolen.vst3"
        echo "== itself"; c copy /Users/eve/Secret.vst3 "$VST3/Linked.vst3"
        echo "stolen: $(ls -A "$VST3/Stolen.vst3" 2>&1)"
        echo "linked: $(readlink "$VST3/Linked.vst3")"
        stop_helper; show_log)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, HasSubstr("stolen: ls: cannot access"));
    // A source that is itself a link is copied as that link: no content is read through it.
    EXPECT_THAT(run.output, HasSubstr("linked: /Library/Secret\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("secret")));
}

TEST(Attack, HostileBundleContents) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        forged="$(printf 'x\n[2030-01-01T00:00:00Z] [helper] Stopped')"
        as_user mkfifo "/Users/eve/Good.vst3/Contents/$forged"
        echo "== fifo"; timeout 10 "$C" copy /Users/eve/Good.vst3 "$VST3/Fifo.vst3"; echo "exit=$?"
        rm "/Users/eve/Good.vst3/Contents/$forged"
        as_user cp /bin/true /Users/eve/Good.vst3/Contents/suid
        as_user chmod 6777 /Users/eve/Good.vst3/Contents/suid
        echo "== suid"; c copy /Users/eve/Good.vst3 "$VST3/Good.vst3"
        echo "mode=$(stat -c %a "$VST3/Good.vst3/Contents/suid") owner=$(stat -c %u "$VST3/Good.vst3/Contents/suid")"
        deep_tree() { as_user python3 -c '
import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
for i in range(10000):
    os.mkdir("d", dir_fd=fd)
    nfd = os.open("d", os.O_RDONLY, dir_fd=fd)
    os.close(fd); fd = nfd
' "$1"; }
        deep_tree /Users/eve; deep_tree "$VST3"
        echo "== deep"; timeout 60 "$C" copy /Users/eve/d "$VST3/deep"; echo "exit=$?"
        echo "== deep-remove"; timeout 60 "$C" remove "$VST3/d"; echo "exit=$?"
        echo "== alive"; c ping
        stop_helper; show_log)SH");
    SCOPED_TRACE(run.output);
    // Answered at once rather than hung on the FIFO (timeout would exit 124).
    EXPECT_THAT(run.output,
                HasSubstr("(Helper.OperationError error 0.) [OP_FAILED]\nexit=1\n== suid"));
    EXPECT_THAT(run.output, HasSubstr("not a regular file, folder or symbolic link"));
    // The name that failed the copy is logged, escaped: it cannot forge a line of its own.
    EXPECT_THAT(run.output, HasSubstr("Contents/x\\n[2030-01-01T00:00:00Z] [helper] Stopped"));
    EXPECT_THAT(run.output, Not(HasSubstr("\n[2030-01-01T00:00:00Z]")));
    EXPECT_THAT(run.output, HasSubstr("mode=755 owner=0"));
    EXPECT_THAT(run.output,
                HasSubstr("] [helper] copy failed: Copy failed: Cannot copy /Users/eve/d/d/d/"));
    EXPECT_THAT(run.output, HasSubstr("] [helper] remove failed: Remove failed: Cannot remove " +
                                      std::string("/Library/Audio/Plug-Ins/VST3/d/d/d/")));
    EXPECT_THAT(run.output, HasSubstr("d: folders nested more than 128 levels deep\n"));
    EXPECT_THAT(run.output, HasSubstr("== alive\n"));
    EXPECT_THAT(run.output, ::testing::ContainsRegex("== alive\n[0-9]+-1: ok"));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
    EXPECT_THAT(run.output, Not(HasSubstr("exit=124")));
}

}  // namespace
}  // namespace nimbara
