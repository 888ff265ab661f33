// SPDX-License-Identifier: Apache-2.0
// Connection handling against the real helper: the client check, framing, ordering, the
// pending-bytes limit, and what every user shares staying bounded: connections per user and in
// all, and the log lines that refused peers cause. Attackers run unprivileged.
#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

std::string ping(const std::string& id) {
    return R"({"id":")" + id + R"(","v":1,"op":"ping"})";
}
std::string pong(const std::string& id) {
    return R"({"id":")" + id + "\",\"ok\":true,\"v\":1}\n";
}

TEST(Connection, SignedClientServedUnsignedRefused) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        start_helper
        "$C" --json ping; echo "signed-exit=$?"
        python3 -c '
import os, socket, time
s = socket.socket(socket.AF_UNIX)
s.connect("/var/run/com.corvellan.nimbara.helper.sock")
def send():  # before the refusal and once more after it: nothing may serve either
    try: s.sendall(b"{\"id\":\"x\",\"v\":1,\"op\":\"mkdir\",\"path\":\"/Library/Audio/Plug-Ins/VST3/Evil\"}\n")
    except OSError: pass  # refused before the request went out; the refusal is still there to read
send()
data = b""
while chunk := s.recv(4096): data += chunk
send(); time.sleep(0.2)
print("unsigned-got=%r" % data); print(os.getpid(), file=open("/tmp/pid", "w"))
'
        [ -e "$VST3/Evil" ] || echo "nothing-served"
        cp "$C" /tmp/copied-client && echo x >> /tmp/copied-client
        /tmp/copied-client ping; echo "modified-exit=$?"
        echo "pid-logged=$(grep -c "] \[helper\] Rejected connection: signature invalid (pid: $(cat /tmp/pid))$" "$LOG")"
        stop_helper
        show_log)SH");
    EXPECT_TRUE(std::regex_search(
        run.output, std::regex(R"(\{"id":"[0-9]+-1","ok":true,"v":1\}\nsigned-exit=0)")));
    // Refused: one answer, nothing served, and the log names the refused peer's pid.
    expectAll(run.output,
              {R"(unsigned-got=b'{"id":"unknown","ok":false,"error":"Code signature verification )"
               R"(failed","code":"SIGNATURE_INVALID"}\n')",
               "nothing-served\n", "modified-exit=77", "pid-logged=1\n"});
}

struct FramingCase {
    std::string name;
    std::string steps;     // wire_probe arguments, as bash reads them
    std::string expected;  // everything received, then <EOF>
};

TEST(Connection, Framing) {
    SKIP_WITHOUT_SANDBOX();
    const std::string malformed =
        R"({"id":"unknown","ok":false,"error":"Malformed request: invalid JSON: )";
    const std::string bigPing = R"({"id":"big","v":1,"op":"ping","pad":")";
    const std::vector<FramingCase> cases{
        {"half-close", "$'send:" + ping("h") + "\\n' shut drain", pong("h") + "<EOF>"},
        {"split",
         "'send:{\"id\":\"s\",\"v\"' sleep:50 'send::1,\"op\"' sleep:50 $'send::\"ping\"}\\n' shut "
         "drain",
         pong("s") + "<EOF>"},
        {"pipelined", "$'send:" + ping("a") + "\\n" + ping("b") + "\\r\\n' shut drain",
         pong("a") + pong("b") + "<EOF>"},
        {"unterminated", "'send:" + ping("u") + "' shut drain", "<EOF>"},
        {"empty-line", "$'send:\\n" + ping("e") + "\\n' shut drain", malformed},
        {"largest",  // 65,535 bytes and the line feed
         "'send:" + bigPing + "' fill:" + std::to_string(65535 - bigPing.size() - 2) +
             ":p $'send:\"}\\n' shut drain",
         pong("big") + "<EOF>"},
        {"overflow", "fill:65536:x sleep:100 send:y shut drain", "<EOF>"},
        {"complete-but-over",
         "fill:65000:x sleep:100 $'send:" + std::string(600, 'x') + "\\n" + ping("lost") +
             "\\n' shut drain",
         "<EOF>"},
    };
    std::string script = "start_helper\n";
    for (const auto& c : cases) {
        script += "echo '== " + c.name + "'; \"$P\" " + c.steps + "; echo\n";
    }
    script += "stop_helper\nshow_log\n";
    auto run = runInSandbox(script);
    for (const auto& c : cases) {
        size_t at = run.output.find("== " + c.name + "\n");
        ASSERT_NE(at, std::string::npos) << c.name;
        std::string got = run.output.substr(at + c.name.size() + 4);
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.name;
    }
    // The empty line is answered and the connection goes on to the next request.
    EXPECT_THAT(run.output, HasSubstr("\"code\":\"OP_FAILED\"}\n" + pong("e") + "<EOF>"));
    std::regex overflow(R"(\] \[helper\] Buffer overflow from pid [0-9]+, disconnecting\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(run.output.begin(), run.output.end(), overflow),
                            std::sregex_iterator()),
              2);
}

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
    // Closed at once (timeout would exit 124) and without a word.
    EXPECT_THAT(run.output, ContainsRegex("== victim\n[0-9]+-1: ok.*\nvictim-exit=0"));
    expectAll(run.output,
              {"== over\n<EOF>\nover-exit=0\n", "== full\n<EOF>\nfull-exit=0\n", "after-exit=0",
               "] [helper] Rejected connection: too many connections from uid 1000\n",
               "] [helper] Rejected connection: too many connections in all (uid: 1001)\n",
               "helper-exit=0"});
    EXPECT_THAT(run.output, Not(HasSubstr("SIGNATURE_INVALID")));
}

}  // namespace
}  // namespace nimbara
