// SPDX-License-Identifier: Apache-2.0
// The client check against a user who shapes the process that speaks (uid 1000, the signed
// client on disk): code let into the signed client, a tracer, and requests written by an
// unsigned image that then execs signed code. Each is refused with its reason in the log.
#include "support/sandbox.h"

namespace nimbara {
namespace {

TEST(SignedCode, OnlyTheSignedCodeAsShippedIsServed) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        I=$BUILD/tests/libinjected.so
        mkdir -p "$VST3"; chmod 0777 "$VST3"
        start_helper
        # Refusals are logged at most 5 a second: the attempts keep under that.
        try() { echo "== $1"; shift; as_user "$@" "$C" ping >/dev/null 2>&1; echo "exit=$?"; sleep 0.3; }
        try preload env LD_PRELOAD="$I"
        try audit env LD_AUDIT="$I"
        try hidden env INJECTED_HIDES=1 LD_PRELOAD="$I"
        try traced strace -f -o /dev/null  # (a leak checker may end it otherwise: the log tells)
        # A debugger patches a code page (the same byte back) and detaches before the connect.
        as_user gdb -q -batch -ex starti -ex 'set {unsigned char}$pc = *(unsigned char*)$pc' \
          -ex detach --args "$C" ping >/dev/null 2>&1
        for _ in $(seq 500); do grep -q "modified code" "$LOG" && break; sleep 0.01; done
        # The user's own copy of a library, mounted at the system's name in namespaces of hers.
        lib=$(ldd "$C" | awk '/libstdc\+\+/ {print $3}'); cp "$lib" /tmp/own.so
        try remounted unshare -Urm sh -c "mount --bind /tmp/own.so $lib && exec \"\$0\" \"\$1\""
        echo "== forked"; as_user "$P" fork \
          $'send:{"id":"f","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/Evil-forked"}\n' shut drain
        sleep 0.3
        echo "== root"; "$C" ping >/dev/null; echo "exit=$?"
        try user
        # A validly signed, padded client whose long check holds uid 1000's one check slot, so the
        # attackers below are checked only after their exec.
        D=$BUILD/codesign/dev
        cp "$P" /tmp/slow; truncate -s +400M /tmp/slow
        "$BUILD/tools/nimbara-codesign" sign --identifier com.corvellan.nimbara --cert "$D/leaf.pem" \
          --key "$D/leaf.key" --chain "$D/intermediate.pem" /tmp/slow /tmp/slow.signed
        chmod 755 /tmp/slow.signed
        as_user /tmp/slow.signed $'send:{"id":"slow","v":1,"op":"ping"}\n' shut drain >/dev/null & SLOW=$!
        # until the helper has the padded image open
        until ls -l /proc/$HPID/fd | grep -q slow.signed; do sleep 0.01; done
        # Connects, writes a request, then execs signed code that lives a while.
        for mode in inherited kept; do as_user python3 -c '
import os, socket, sys
mode = sys.argv[1]
s = socket.socket(socket.AF_UNIX)  # close-on-exec, as Python opens every socket
s.connect("/var/run/com.corvellan.nimbara.helper.sock")
s.sendall(b"{\"id\":\"x\",\"v\":1,\"op\":\"mkdir\",\"path\":\"/Library/Audio/Plug-Ins/VST3/Evil-%s\"}\n" % mode.encode())
if mode == "inherited":
    os.set_inheritable(s.fileno(), True)
elif os.fork() == 0:  # a child keeps the connection to read the answer
    print("kept-got=%r" % s.recv(4096), flush=True)
    os._exit(0)
os.execv(sys.argv[2], [sys.argv[2], "sleep:2500"])
' $mode "$P" & ATT="$ATT $!"; done
        wait $SLOW $ATT
        echo "left: $(ls -A "$VST3" | tr '\n' ' ')"
        stop_helper; show_log)SH");
    expectAll(
        run.output,
        {"== preload\nexit=77\n", "== audit\nexit=77\n", "== hidden\nexit=77\n",
         "== remounted\nexit=77\n", "== root\nexit=0\n", "== user\nexit=0\n",
         "== forked\n{\"id\":\"unknown\",\"ok\":false,",
         R"(kept-got=b'{"id":"unknown","ok":false,"error":"Code signature verification )"
         R"(failed","code":"SIGNATURE_INVALID"}\n')",
         "left: \n", "] Rejected connection: loader variable LD_PRELOAD in its environment (pid: ",
         "] Rejected connection: loader variable LD_AUDIT in its environment (pid: ",
         "] Rejected connection: runs in another user namespace (pid: ",
         "] Rejected connection: holds the connection in a descriptor that is not "
         "close-on-exec (pid: ",
         "] Rejected connection: does not hold the connection itself (pid: "});
    for (const char* refusal : {
             R"(runs code from /[^ ]*/tests/libinjected.so \(pid: )",
             R"(traced by pid [0-9]+ \(pid: )",
             R"(runs modified code in /.*ld-linux.* \(pid: )",
             R"(bytes written by pid [0-9]+ \(pid: )",
         }) {
        EXPECT_THAT(run.output,
                    ContainsRegex(std::string(R"(\] Rejected connection: )") + refusal));
    }
    EXPECT_THAT(run.output, Not(HasSubstr("more refusals not logged")));
}

}  // namespace
}  // namespace nimbara
