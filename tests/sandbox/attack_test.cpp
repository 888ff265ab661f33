// SPDX-License-Identifier: Apache-2.0
// The real helper against an attacker (uid 1000) with a signed client, a folder under /Users and
// write access to a world-writable plug-in folder, and a victim (uid 1001) whose home is private.
// Every client here runs as one of those two users.
#include "support/sandbox.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>

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
        # Read with the caller's primary group (2002 for uid 1002) and supplementary groups.
        mkdir -p /Users/team/Gid.vst3 /Users/team/Uid.vst3 /Users/team/Grp.vst3
        for b in Gid:2002 Uid:1002 Grp:3004; do
            f=/Users/team/${b%:*}.vst3/key; echo k > $f; chown 0:${b#*:} $f; chmod 0640 $f
        done
        echo "== gid"; as_staff "$C" copy /Users/team/Gid.vst3 "$VST3/Gid.vst3" 2>&1; echo "exit=$?"
        echo "== uid"; as_staff "$C" copy /Users/team/Uid.vst3 "$VST3/Uid.vst3" 2>&1; echo "exit=$?"
        echo "== groups"; as_member "$C" copy /Users/team/Grp.vst3 "$VST3/Grp.vst3" 2>&1; echo "exit=$?"
        stop_helper; show_log)SH");
    expectAll(run.output,
              {"copy failed: Copy failed: Cannot read /Users/bob/Private.vst3: Permission denied\n",
               "copy failed: Copy failed: Cannot open /Users/bob/Shared.vst3/key: Permission "
               "denied\n",
               "left: \n"});
    EXPECT_THAT(run.output, ContainsRegex("== own\n(progress: .*\n)*[0-9]+-1: ok\nexit=0"));
    EXPECT_THAT(run.output, ContainsRegex("== gid\n(progress: .*\n)*[^\n]*ok\nexit=0\n== uid\n"
                                          "(progress: .*\n)*[^\n]*\n[^\n]*\nexit=1\n"
                                          "== groups\n(progress: .*\n)*[^\n]*ok\nexit=0\n"));
    EXPECT_THAT(run.output, HasSubstr("Cannot open /Users/team/Uid.vst3/key: Permission denied\n"));
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
        as_user mkdir /Users/eve/Reserved.vst3  # blocks reserved, never written: all holes
        for f in a b; do as_user sh -c "cd /Users/eve/Reserved.vst3; fallocate -l 4K $f; truncate -s 12M $f"; done
        echo "== reserved"; eve copy /Users/eve/Reserved.vst3 "$VST3/Small/Reserved.vst3"
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
    EXPECT_THAT(run.output, ContainsRegex("Cannot copy /Users/eve/Reserved.vst3/[ab]: not enough "
                                          "space: it holds more data than its blocks\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("\n[2030-01-01T00:00:00Z]")));
    EXPECT_THAT(run.output, Not(HasSubstr("exit=124")));
}

// The blocks a file system keeps for root are not the caller's: the helper writes as root and
// could otherwise fill them for her. An ext4 image with half its blocks reserved, loop-mounted.
TEST(Attack, SpaceReservedForRootStaysFree) {
    SKIP_WITHOUT_SANDBOX();
    if (std::system("losetup -f >/dev/null 2>&1") != 0) GTEST_SKIP() << "no loop device here";
    std::string loops = "--cap-add CAP_SYS_ADMIN --dev-bind /dev/loop-control /dev/loop-control";
    for (const auto& dev : std::filesystem::directory_iterator("/dev")) {
        std::string name = dev.path().filename();
        if (name.starts_with("loop") && std::isdigit(static_cast<unsigned char>(name.back()))) {
            loops += " --dev-bind " + dev.path().string() + " " + dev.path().string();
        }
    }
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        truncate -s 8M /tmp/reserved.img; mkfs.ext4 -q -m 50 /tmp/reserved.img
        mkdir "$VST3/Reserved"; mount -o loop /tmp/reserved.img "$VST3/Reserved"
        as_user mkdir /Users/eve/Mid.vst3; as_user head -c 3M /dev/urandom > /Users/eve/Mid.vst3/data
        eve copy /Users/eve/Mid.vst3 "$VST3/Reserved/Mid.vst3" | tail -1
        echo "left: $(ls -A "$VST3/Reserved" | tr '\n' ' ')"
        stop_helper; show_log)SH",
                            loops);
    EXPECT_THAT(run.output, HasSubstr("exit=1\nleft: lost+found \n"));
    EXPECT_THAT(
        run.output,
        ContainsRegex("copy failed: Copy failed: /Users/eve/Mid.vst3 needs "
                      "[0-9]+ bytes, but only [0-9]+ are available at " VST3_PATH "/Reserved\n"));
}

// Neither a plug-in folder nor anything of another user goes with a request: not at any depth
// (her file, moved below his folder), not when it is put at the destination while the copy is
// made, nor when it is put under a recorded hidden name while the helper is stopped.
TEST(Attack, NobodysItemGoesWithAnothersRequest) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        C2=/Library/Audio/Plug-Ins/Components A="/Library/Application Support/Avid/Audio/Plug-Ins"
        mkdir -p "$C2" "$A"; as_victim mkdir "$VST3/Bob.vst3"
        as_victim sh -c "echo bob > $VST3/Bob.vst3/key; echo bob > $VST3/bob.txt"
        for r in "$VST3" "$C2" "$A"; do eve remove "$r" | tail -1; done
        as_user sh -c "mkdir $VST3/Mine; touch $VST3/Mine/a; mv $VST3/bob.txt $VST3/Mine; touch $VST3/Mine/z"
        eve remove "$VST3/Mine" | tail -1; eve copy /Users/eve/Good.vst3 "$VST3/Mine" | tail -1
        as_user mkdir /Users/eve/Big.vst3; as_user head -c 1G /dev/zero > /Users/eve/Big.vst3/data
        eve copy /Users/eve/Big.vst3 "$VST3/Foo.vst3" > /tmp/copy.out & copy=$!
        wait_staged; as_user mv "$VST3/Bob.vst3" "$VST3/Foo.vst3"; wait $copy; tail -1 /tmp/copy.out
        eve copy /Users/eve/Big.vst3 "$VST3/Bar.vst3" >/dev/null & wait_staged
        kill -9 "$HPID"; wait "$HPID" 2>/dev/null; show_log; staged=$(ls -A "$VST3" | grep '^\.Bar')
        as_user mv "$VST3/$staged" "$VST3/junk"; as_user mv "$VST3/Foo.vst3" "$VST3/$staged"
        start_helper; echo "left: $(cd "$VST3"; find . -type f | sort | tr '\n' ' ')"
        stop_helper; show_log)SH");
    const std::string failed = "failed: Remove failed: Cannot remove /Library/";
    expectAll(run.output,
              {failed + "Audio/Plug-Ins/VST3: it is a plug-in folder\n",
               failed + "Audio/Plug-Ins/Components: it is a plug-in folder\n",
               failed + "Application Support/Avid/Audio/Plug-Ins: it is a plug-in folder\n",
               "remove failed: Remove failed: " VST3_PATH "/Mine/bob.txt is owned by uid 1001\n",
               "copy failed: Copy failed: " VST3_PATH "/Mine/bob.txt is owned by uid 1001\n",
               "copy failed: Copy failed: " VST3_PATH "/Foo.vst3 is owned by uid 1001\n",
               "in place: " VST3_PATH "/.Bar.vst3.nimbara-", "is owned by uid 1001\n"});
    EXPECT_THAT(run.output, ContainsRegex("left: ./.Bar.vst3.nimbara-[0-9a-f]{12}/key ./Mine/a "
                                          "./Mine/bob.txt ./Mine/z ./junk/data \n"));
    EXPECT_THAT(run.output, Not(HasSubstr("\nexit=0")));
}

// Items the helper cannot remove are recorded for the next start only when they are its own, at
// most 8 per user: a user whose items pile up fails her own copies, not another user's.
TEST(Attack, TheRecordOfStagedCopiesIsBounded) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kSetup) + R"SH(
        stuck() { mkdir -p "$VST3/$1/mnt"; mount -t tmpfs tmpfs "$VST3/$1/mnt"; }
        stuck Own.vst3; chown 1000:1000 "$VST3/Own.vst3"; eve copy /Users/eve/Good.vst3 "$VST3/Own.vst3"
        for i in $(seq 9); do stuck "S$i.vst3"; eve copy /Users/eve/Good.vst3 "$VST3/S$i.vst3" | tail -1; done
        bob copy /Users/bob/Private.vst3 "$VST3/Private.vst3" | tail -1
        echo "recorded: $(cut -f1 /var/lib/com.corvellan.nimbara.helper/staged | uniq -c | xargs)"
        left=$(echo "$VST3"/.S1.vst3.*); umount "$left/mnt"; eve remove "$left" | tail -1
        eve copy /Users/eve/Good.vst3 "$VST3/S9.vst3" | tail -1
        stop_helper; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN");
    EXPECT_THAT(
        run.output,
        ContainsRegex("(exit=0\n){8}[^\n]*\nexit=1\nexit=0\nrecorded: 8 1000\nexit=0\nexit=0\n"));
    expectAll(run.output, {"Left the replaced item " VST3_PATH "/.Own.vst3.nimbara-",
                           " of uid 1000 in place: Cannot remove ",
                           "copy failed: Copy failed: uid 1000 already has 8 staged items "
                           "awaiting removal, the most one user may have\n"});
}

}  // namespace
}  // namespace nimbara
