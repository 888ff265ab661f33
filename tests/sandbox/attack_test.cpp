// The real helper against an attacker (uid 1000) with a signed client, a folder under /Users and
// write access to a world-writable plug-in folder, and a victim (uid 1001) whose home is private.
// Every client here runs as one of those two users.
#include "support/sandbox.h"

namespace nimbara {
namespace {

const char* kSetup = R"SH(
    mkdir -p "$VST3" /Users/eve /Users/bob/Private.vst3 /Users/bob/Shared.vst3 /tmp/canary
    chmod 0777 "$VST3"; chown 1000:1000 /Users/eve
    echo secret > /Users/bob/Private.vst3/key; chmod 0644 /Users/bob/Private.vst3/key
    echo team > /Users/bob/Shared.vst3/key; chown -R 1001:1001 /Users/bob
    chmod 0750 /Users/bob/Shared.vst3; chmod 0640 /Users/bob/Shared.vst3/key; chmod 0700 /Users/bob
    echo canary > /tmp/canary/file; chmod 0700 /tmp/canary
    as_user mkdir -p /Users/eve/Good.vst3
    start_helper
    # The attacker's and the victim's clients; each prints its exit status after its output.
    eve() { as_user "$C" "$@" 2>&1; echo "exit=$?"; }
    bob() { as_victim "$C" "$@" 2>&1; echo "exit=$?"; }
)SH";

TEST(Attack, OtherUsersFilesNeverLeak) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        echo "== home"; eve copy /Users/bob/Private.vst3 "$VST3/Stolen.vst3"
        chmod 0711 /Users/bob  # a home others may pass through, but not list
        setfacl -m g:1000:rx /Users/bob/Shared.vst3  # eve may list it, not read the team's file
        echo "== group"; eve copy /Users/bob/Shared.vst3 "$VST3/Team.vst3"
        echo "left: $(ls -A "$VST3" | tr '\n' ' ')"
        echo "== own"; bob copy /Users/bob/Private.vst3 "$VST3/Private.vst3"
        stop_helper; show_log)SH");
    expectAll(run.output,
              {"copy failed: Copy failed: Cannot read /Users/bob/Private.vst3: Permission denied\n",
               "copy failed: Copy failed: Cannot open /Users/bob/Shared.vst3/key: Permission "
               "denied\n",
               "left: \n"});
    EXPECT_THAT(run.output, ContainsRegex("== own\n[0-9]+-1: ok\nexit=0"));
}

// A parent of a root that anyone can write lets the root be swapped for a link: the roots and
// their ancestors are checked on every operation. (A folder she prepared below a root, and links
// below a root, are refused by the operations alone: BundleOpsTest.)
TEST(Attack, ReplacedRootsAreRefused) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        chmod 0777 /Library/Audio/Plug-Ins
        as_user mv "$VST3" /Library/Audio/Plug-Ins/Old; as_user ln -s /tmp/canary "$VST3"
        eve copy /Users/eve/Good.vst3 "$VST3/Good.vst3"; eve remove "$VST3/file"; eve mkdir "$VST3/new"
        echo "canary: $(cat /tmp/canary/file) $(ls /tmp/canary | tr '\n' ' ')"
        stop_helper; show_log)SH");
    expectAll(run.output,
              {"canary: canary file \n",
               "failed: /Library/Audio/Plug-Ins is owned by uid 0 and writable by others\n"});
    EXPECT_THAT(run.output, Not(HasSubstr("\nexit=0")));
}

TEST(Attack, CopiesAreBoundedBySizeAndSpace) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        as_user mkdir /Users/eve/Grow.vst3 /Users/eve/Big.vst3
        as_user head -c 64M /dev/urandom > /Users/eve/Big.vst3/data
        as_user sh -c 'head -c 256M /dev/zero > /Users/eve/Grow.vst3/data; while :; do head -c 1M /dev/zero; done >> /Users/eve/Grow.vst3/data' &
        writer=$!; sleep 0.3
        echo "== grow"; as_user timeout 20 "$C" copy /Users/eve/Grow.vst3 "$VST3/Grow.vst3"; echo "exit=$?"
        kill $writer
        forged="$(printf 'x\n[2030-01-01T00:00:00Z] [helper] Stopped')"
        as_user mkdir /Users/eve/Fifo.vst3; as_user mkfifo "/Users/eve/Fifo.vst3/$forged"
        echo "== fifo"; eve copy /Users/eve/Fifo.vst3 "$VST3/Fifo.vst3"
        mkdir "$VST3/Few"; mount -t tmpfs -o nr_inodes=40,size=1m,mode=0755 tmpfs "$VST3/Few"
        as_user mkdir /Users/eve/Many.vst3; as_user touch /Users/eve/Many.vst3/f{1..60}
        echo "== inodes"; eve copy /Users/eve/Many.vst3 "$VST3/Few/Many.vst3"
        mkdir "$VST3/Small/Big.vst3"; echo old > "$VST3/Small/Big.vst3/old"
        echo "== small"; eve copy /Users/eve/Big.vst3 "$VST3/Small/Big.vst3"
        echo "left: $(ls -A "$VST3" "$VST3/Small" "$VST3/Small/Big.vst3" | tr '\n' ' ')"
        stop_helper; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN --size 16777216 --tmpfs " VST3_PATH "/Small");
    EXPECT_THAT(run.output,
                ContainsRegex("copy failed: Copy failed: /Users/eve/Big.vst3 needs [0-9]+ "
                              "bytes, but only [0-9]+ are available at " VST3_PATH "/Small\n"));
    // The name that failed the copy is logged escaped: it cannot forge a line of its own.
    expectAll(run.output,
              {"Cannot copy /Users/eve/Grow.vst3/data: it changed size while being copied\n",
               "left: " VST3_PATH ": Few Small  " VST3_PATH "/Small: Big.vst3  " VST3_PATH
               "/Small/Big.vst3: old \n",
               "copy failed: Copy failed: /Users/eve/Many.vst3 needs 61 inodes, but only 39 are "
               "available at " VST3_PATH "/Few\n",
               "Fifo.vst3/x\\n[2030-01-01T00:00:00Z] [helper] Stopped: not a"});
    EXPECT_THAT(run.output, Not(HasSubstr("\n[2030-01-01T00:00:00Z]")));
    EXPECT_THAT(run.output, Not(HasSubstr("exit=124")));
}

}  // namespace
}  // namespace nimbara
