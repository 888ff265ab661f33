// The real helper at its real paths: listening, stopping on signals, a second instance, an
// unusable /var/run, and the arguments it ignores.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace nimbara {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::runInSandbox;

TEST(Lifecycle, ListensThenStopsOnEachSignal) {
    SKIP_WITHOUT_SANDBOX();
    for (const char* signal : {"TERM", "INT"}) {
        auto run = runInSandbox(std::string(R"SH(
            start_helper --ignored argument
            echo "mode=$(stat -c %a "$SOCK") type=$(stat -c %F "$SOCK")"
            stop_helper )SH") + signal +
                                R"SH(
            [ -e "$SOCK" ] || echo "socket-gone"
            echo "last=$(tail -n 1 "$LOG")"
            "$C" ping; echo "client-after=$?"
            show_log)SH");
        SCOPED_TRACE(run.output);
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(
            run.output,
            HasSubstr("] [helper] Listening on /var/run/com.corvellan.nimbara.helper.sock\n"));
        EXPECT_THAT(run.output, HasSubstr("mode=666 type=socket"));
        EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
        EXPECT_THAT(run.output, HasSubstr("socket-gone"));
        EXPECT_THAT(run.output,
                    ::testing::ContainsRegex(R"(last=\[[0-9T:Z-]+\] \[helper\] Stopped)"));
        EXPECT_THAT(run.output, HasSubstr("client-after=69"));
        EXPECT_THAT(run.output, Not(HasSubstr("Cleaned up")));
    }
}

TEST(Lifecycle, SecondInstanceFailsAndFirstKeepsServing) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        start_helper
        "$H" > /tmp/second.out 2>&1; echo "second-exit=$?"
        echo "second-said=$(cat /tmp/second.out)"
        "$C" ping >/dev/null; echo "first-ping=$?"
        mv "$SOCK" "$SOCK.moved"; timeout 5 "$H" >/dev/null; echo "unlinked-second-exit=$?"
        mv "$SOCK.moved" "$SOCK"
        stop_helper)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, HasSubstr("second-exit=1"));
    EXPECT_THAT(run.output, HasSubstr("unlinked-second-exit=1\n"));
    EXPECT_THAT(run.output,
                HasSubstr("second-said=[helper] Fatal: bind() failed: Address already in use\n"));
    EXPECT_THAT(run.output, HasSubstr("first-ping=0"));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
}

TEST(Lifecycle, StaleFileRemovedAndUnwritableRunIsFatal) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        echo junk > "$SOCK"
        start_helper
        stop_helper
        show_log
        as_user "$H" > /tmp/user.out 2>&1; echo "user-exit=$?"
        echo "user-said=$(cat /tmp/user.out)")SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(
        run.output,
        HasSubstr(
            "] [helper] Cleaned up stale socket at /var/run/com.corvellan.nimbara.helper.sock\n"));
    EXPECT_THAT(run.output, HasSubstr("user-exit=1"));
    EXPECT_THAT(run.output,
                HasSubstr("user-said=[helper] Fatal: bind() failed: Permission denied\n"));
}

TEST(Lifecycle, SurvivesALogReaderThatWentAway) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkfifo /tmp/out
        head -c 1 /tmp/out > /dev/null &
        "$H" > /tmp/out & HPID=$!
        for _ in $(seq 500); do [ -S "$SOCK" ] && break; sleep 0.01; done
        sleep 0.2
        python3 -c 'import socket; s = socket.socket(socket.AF_UNIX); s.connect("/var/run/com.corvellan.nimbara.helper.sock"); s.recv(100)'
        sleep 0.2
        "$C" ping > /dev/null; echo "ping-after=$?"
        stop_helper)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, HasSubstr("ping-after=0"));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
}

// A copy the helper cannot finish leaves nothing behind: a stop abandons it within the bound, and
// what a killed helper staged is removed at the next start. A swapped-in copy has succeeded even
// when the old item cannot be removed.
TEST(Lifecycle, NoLeftoversWhateverHappens) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p /Users/ann/Big.vst3 "$VST3/Big.vst3" "$VST3/Stuck.vst3/mnt"
        echo old > "$VST3/Big.vst3/old"; echo kept > "$VST3/Stuck.vst3/mnt/keep"
        for i in $(seq 40); do head -c 40M /dev/zero > /Users/ann/Big.vst3/f$i; done
        hidden() { echo "hidden=$(ls -A "$VST3" | grep -c '^\.')"; }
        copy_big() { "$C" copy /Users/ann/Big.vst3 "$VST3/Big.vst3" > /tmp/copy.out 2>&1 & }
        start_helper; copy_big; wait_staged
        t0=$(date +%s%N); stop_helper; echo "stop-ms=$(( ($(date +%s%N) - t0) / 1000000 ))"
        hidden; cat "$VST3/Big.vst3/old"
        start_helper; copy_big; wait_staged; kill -9 "$HPID"; wait "$HPID" 2>/dev/null
        echo "after-kill: $(ls -A "$VST3" | grep -c '^\.')"
        start_helper; hidden; cat "$VST3/Big.vst3/old"
        "$C" copy /Users/ann/Big.vst3 "$VST3/Stuck.vst3"; echo "stuck-exit=$?"
        echo "stuck=$(ls "$VST3/Stuck.vst3" | wc -l) $(cat "$VST3"/.Stuck.vst3.*/mnt/keep)"
        stop_helper; show_log)SH",
                            "--tmpfs " VST3_PATH "/Stuck.vst3/mnt");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, ::testing::ContainsRegex("stop-ms=[0-9]{1,4}\n"));  // within 10 s
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0\nstop-ms="));
    EXPECT_THAT(run.output, HasSubstr("hidden=0\nold\nafter-kill: 1\n"));
    EXPECT_THAT(run.output, ::testing::ContainsRegex("\\] \\[helper\\] Removed leftover " VST3_PATH
                                                     "/\\.Big\\.vst3\\.nimbara-[0-9a-f]{12}\n"));
    EXPECT_THAT(run.output, HasSubstr("hidden=0\nold\n"));
    EXPECT_THAT(run.output, HasSubstr("stuck-exit=0\nstuck=40 kept\n"));
    EXPECT_THAT(run.output, ::testing::ContainsRegex(
                                "\\] \\[helper\\] Left the replaced item " VST3_PATH
                                "/\\.Stuck\\.vst3\\.nimbara-[0-9a-f]{12} for the next start: "
                                "Cannot remove [^\n]*/mnt: Invalid cross-device link\n"));
}

// Started with descriptors 0-2 closed and umask 077: no client descriptor becomes standard
// output (the client would receive log lines), and created folders are 0755.
TEST(Lifecycle, KnownStartWhateverTheParentLeft) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p "$VST3" /Users/ann/B.vst3/sub; echo x > /Users/ann/B.vst3/sub/f
        (umask 077; exec "$H" <&- >&- 2>&-) & HPID=$!
        for _ in $(seq 500); do [ -S "$SOCK" ] && break; sleep 0.01; done
        echo "== answer"
        "$P" 'send:{"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/New/Sub"}\n' shut drain
        "$P" 'send:{"id":"c","v":1,"op":"copy","source":"/Users/ann/B.vst3","dest":"/Library/Audio/Plug-Ins/VST3/B.vst3"}\n' shut drain
        echo "modes=$(stat -c %a "$VST3/New" "$VST3/New/Sub" "$VST3/B.vst3/sub" "$VST3/B.vst3/sub/f" | tr '\n' ' ')"
        stop_helper)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(
        run.output,
        HasSubstr(
            "== answer\n{\"id\":\"m\",\"ok\":true}\n<EOF>\n{\"id\":\"c\",\"ok\":true}\n<EOF>\n"
            "modes=755 755 755 644 \n"));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
}

}  // namespace
}  // namespace nimbara
