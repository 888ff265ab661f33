// What every user shares stays bounded against the real helper: connections per user and in
// all, and the log lines that refused peers cause. Attackers run unprivileged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::runInSandbox;

// With 64 descriptors the helper admits 32 connections, 8 per user. One user's 40 idle signed
// clients leave another user served; over a cap a connection is closed at once, unanswered.
TEST(Bounds, ConnectionCaps) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        printf '#!/bin/sh\nexec prlimit --nofile=64:64 "%s"\n' "$H" > /tmp/limited
        chmod 755 /tmp/limited; H=/tmp/limited
        mkdir -p "$VST3"
        start_helper
        uid() { echo "--reuid=$1 --regid=$1 --clear-groups"; }
        # An idle client: connected, never sends; a refused one ends at once.
        idle() { setpriv $(uid $1) "$P" drain >/dev/null 2>&1 & IDLE="$IDLE $!"; }
        # Waits until N idle clients (and the helper) are left, then lets the refusal window pass.
        settle() { for _ in $(seq 1500); do [ $(jobs -rp | wc -l) -le $(($1 + 1)) ] && break; sleep 0.02; done; sleep 1.1; }
        for i in $(seq 40); do idle 1000; done
        settle 8
        echo "== over"; timeout 5 setpriv $(uid 1000) "$P" drain; echo "over-exit=$?"
        echo "== victim"; as_victim "$C" ping; echo "victim-exit=$?"
        for u in 1002 1003 1004 1005; do for i in $(seq 8); do idle $u; done; done
        settle 32
        echo "== full"; timeout 5 setpriv $(uid 1001) "$P" drain; echo "full-exit=$?"
        kill $IDLE; wait $IDLE 2>/dev/null
        as_victim "$C" ping >/dev/null; echo "after-exit=$?"
        stop_helper; show_log)SH");
    SCOPED_TRACE(run.output);
    // Closed at once (timeout would exit 124) and without a word.
    EXPECT_THAT(run.output, HasSubstr("== over\n<EOF>\nover-exit=0\n"));
    EXPECT_THAT(run.output, ::testing::ContainsRegex("== victim\n[0-9]+-1: ok.*\nvictim-exit=0"));
    EXPECT_THAT(run.output, HasSubstr("== full\n<EOF>\nfull-exit=0\n"));
    EXPECT_THAT(run.output, HasSubstr("after-exit=0"));
    EXPECT_THAT(run.output, HasSubstr("] [helper] Rejected connection: too many connections from "
                                      "uid 1000\n"));
    EXPECT_THAT(run.output, ::testing::ContainsRegex(
                                "\\] \\[helper\\] Rejected connection: too many connections in "
                                "all \\(uid: 1001\\)\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("SIGNATURE_INVALID")));
    EXPECT_THAT(run.output, HasSubstr("helper-exit=0"));
}

// Three hundred unsigned connections in a row: a few lines, then one that counts the rest.
TEST(Bounds, RefusalFloodWritesFewLogLines) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        start_helper
        flood() { as_user /usr/bin/python3 -c '
import socket, sys
for i in range(int(sys.argv[1])):
    s = socket.socket(socket.AF_UNIX)
    s.connect("/var/run/com.corvellan.nimbara.helper.sock")
    while s.recv(4096): pass
    s.close()
' "$1"; }
        start=$(date +%s.%N); flood 300; end=$(date +%s.%N)
        sleep 1.1; flood 1
        echo "seconds=$(echo "$end - $start" | bc)"
        echo "lines=$(grep -c 'Rejected connection' "$LOG")"
        stop_helper; show_log)SH");
    SCOPED_TRACE(run.output);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.output, m, std::regex("seconds=([0-9.]+)\nlines=([0-9]+)")));
    // Five a second, a count line after each window that held some back, and the last one.
    const std::string elapsed = m[1].str();  // as bc prints it, e.g. ".95"
    const auto seconds = static_cast<unsigned long>(std::stod(elapsed));
    EXPECT_LE(std::stoul(m[2].str()), 6 * (seconds + 2) + 1);
    EXPECT_TRUE(std::regex_search(
        run.output,
        std::regex(R"(\] \[helper\] Rejected connection: [0-9]+ more refusals not logged\n)")));
    EXPECT_THAT(run.output, HasSubstr("] [helper] Rejected connection: signature invalid (pid: "));
}

}  // namespace
}  // namespace nimbara
