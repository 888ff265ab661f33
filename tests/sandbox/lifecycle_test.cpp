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
        stop_helper)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output, HasSubstr("second-exit=1"));
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

// Started with descriptors 0-2 closed and umask 077: no client descriptor becomes standard
// output (the client would receive log lines), and created folders are 0755.
TEST(Lifecycle, KnownStartWhateverTheParentLeft) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p "$VST3"
        (umask 077; exec "$H" <&- >&- 2>&-) & HPID=$!
        for _ in $(seq 500); do [ -S "$SOCK" ] && break; sleep 0.01; done
        echo "== answer"
        "$P" 'send:{"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/New/Sub"}\n' shut drain
        echo "modes=$(stat -c %a "$VST3/New" "$VST3/New/Sub" | tr '\n' ' ')"
        stop_helper)SH");
    SCOPED_TRACE(run.output);
    EXPECT_THAT(run.output,
                HasSubstr("== answer\n{\"id\":\"m\",\"ok\":true}\n<EOF>\nmodes=755 755 \n"));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
}

}  // namespace
}  // namespace nimbara
