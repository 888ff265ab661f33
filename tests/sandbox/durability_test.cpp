// SPDX-License-Identifier: Apache-2.0
// Durable swaps, seen in the real helper's system calls: the staged tree is flushed before it is
// renamed into place, and the folder after; a flush that fails fails the copy.
#include "support/sandbox.h"

namespace nimbara {
namespace {

// A first copy, one that replaces it, and one whose flush fails (injected): the flushes and
// renames in the order made, on the plug-in folder and (as "record") the record of staged copies,
// which forgets a hidden name only once its swap has reached the disk.
TEST(Durability, FlushedBeforeTheSwapAndTheFolderAfter) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p /Users/ann/B.vst3/sub "$VST3"; chown -R 1000:1000 /Users/ann
        strace -f -qq -y -o /tmp/trace -e 'trace=/^(syncfs|fsync|renameat2?)$' \
            -e inject=syncfs:error=EIO:when=3 "$H" > "$LOG" 2>&1 & TPID=$!
        until grep -q "Listening on" "$LOG"; do sleep 0.01; done
        for n in 1 2 3; do
            echo "v$n" > /Users/ann/B.vst3/sub/f
            as_user "$C" copy /Users/ann/B.vst3 "$VST3/B.vst3" >/dev/null 2>&1; echo "copy-$n=$?"
        done
        echo "now=$(cat "$VST3/B.vst3/sub/f") hidden=$(ls -A "$VST3" | grep -c '^\.')"
        kill "$(cat /proc/$TPID/task/$TPID/children)"; wait $TPID
        grep -v '^[0-9]* *+++' /tmp/trace | sed -E 's|^.*/var/lib/.*$|record|' | uniq |
            sed -E 's/^[0-9]+ +//; s/<[^>]*>//g; s/nimbara-[0-9a-f]{12}/nimbara-X/; s/ \(.*\)$//' |
            sed -E 's/\([0-9]+/(D/; s/, [0-9]+, "/, D, "/'
        show_log)SH");
    EXPECT_THAT(run.output, HasSubstr("copy-1=0\ncopy-2=0\ncopy-3=1\nnow=v2 hidden=0\n"));
    const std::string swap = R"(renameat2(D, ".B.vst3.nimbara-X", D, "B.vst3", )";
    EXPECT_THAT(
        run.output,
        HasSubstr("record\nsyncfs(D) = 0\n" + swap + "RENAME_NOREPLACE) = 0\nfsync(D) = 0\n" +
                  "record\nsyncfs(D) = 0\n" + swap + "RENAME_NOREPLACE) = -1 EEXIST\n" + swap +
                  "RENAME_EXCHANGE) = 0\nfsync(D) = 0\n" +
                  "record\nsyncfs(D) = -1 EIO\nrecord\n--- log"));
    EXPECT_THAT(run.output,
                ContainsRegex("copy failed: Copy failed: Cannot flush " VST3_PATH
                              "/\\.B\\.vst3\\.nimbara-[0-9a-f]{12}: Input/output error"));
}

// An item the file system cannot say anything about (its lookup fails, injected) is not gone: the
// removal fails and the item stays.
TEST(Durability, AnItemThatCannotBeSeenIsNeverReportedGone) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p "$VST3/B.vst3"
        strace -f -qq -o /dev/null -P B.vst3 -e trace=newfstatat -e inject=newfstatat:error=EIO \
            "$H" > "$LOG" 2>&1 &
        until grep -q "Listening on" "$LOG"; do sleep 0.01; done
        "$C" remove "$VST3/B.vst3" 2>/dev/null; echo "remove=$?"; [ -d "$VST3/B.vst3" ] && echo kept
        show_log)SH");
    EXPECT_THAT(run.output, HasSubstr("remove=1\nkept\n"));
    EXPECT_THAT(run.output, HasSubstr("remove failed: Remove failed: Cannot read " VST3_PATH
                                      "/B.vst3: Input/output error\n"));
}

}  // namespace
}  // namespace nimbara
