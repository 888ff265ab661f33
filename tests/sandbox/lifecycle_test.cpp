// SPDX-License-Identifier: Apache-2.0
// The real helper at its real paths: listening, stopping on signals, a second instance, an
// unusable /var/run, the arguments it ignores, a vanished log reader, leftovers (also where /var
// is a link) and the log file reopened after a rotation.
#include "support/sandbox.h"

namespace nimbara {
namespace {

// Two rounds, one per signal; the first finds a regular file at the socket's path, the second a
// socket no one listens on; each is removed and named for what it is. Each time a second instance
// fails and leaves the first serving, also when the first one's socket file was moved away, and
// whatever a user holds of a state folder left readable.
TEST(Lifecycle, OneInstanceListensThenStopsOnEachSignal) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        echo junk > "$SOCK"
        state=/var/lib/com.corvellan.nimbara.helper; mkdir -p /var/lib; mkdir -m 755 "$state"
        as_user flock -s "$state" sleep 60 & holder=$!
        while flock -n "$state" true; do sleep 0.01; done  # until the user holds it
        for sig in TERM INT; do
            start_helper --ignored argument
            echo "== $sig $(grep -c '] \[helper\] Removed a regular file at '"$SOCK"', where the socket belongs$' "$LOG") $(grep -c '] \[helper\] Cleaned up stale socket at '"$SOCK"'$' "$LOG")"
            echo "mode=$(stat -c %a "$SOCK") type=$(stat -c %F "$SOCK")"
            "$H" > /tmp/second.out 2>&1; echo "second-exit=$? $(cat /tmp/second.out)"
            "$C" ping >/dev/null; echo "first-ping=$?"
            mv "$SOCK" "$SOCK.moved"; timeout 5 "$H" >/dev/null; echo "moved-second-exit=$?"
            mv "$SOCK.moved" "$SOCK"
            stop_helper $sig
            [ -e "$SOCK" ] || echo "socket-gone"
            echo "last=$(tail -n 1 "$LOG" | cut -d' ' -f2-)"
            [ $sig = INT ] || python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('$SOCK')"
        done
        "$C" ping; echo "client-after=$?"; kill $holder
        echo "state=$(stat -c %a "$state") $(stat -c '%a %U' "$state/lock")"
        as_user "$H" > /tmp/user.out 2>&1; echo "user-exit=$? $(cat /tmp/user.out)")SH");
    for (const char* round : {"TERM 1 0", "INT 0 1"}) {
        EXPECT_THAT(run.output,
                    HasSubstr(std::string("== ") + round +
                              "\nmode=666 type=socket\nsecond-exit=1 [helper] Fatal: bind() "
                              "failed: Address already in use\nfirst-ping=0\nmoved-second-exit=1\n"
                              "helper-exit=0\n"
                              "socket-gone\nlast=[helper] Stopped\n"));
    }
    EXPECT_THAT(run.output, HasSubstr("client-after=69\nstate=700 600 root\n"));
    EXPECT_THAT(run.output,
                HasSubstr("user-exit=1 [helper] Fatal: bind() failed: Permission denied"));
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
        # What cannot be removed stays recorded: the old item swapped out, and a copy abandoned
        # at a stop (a mount put inside it while it was made).
        recorded() { echo "recorded=$(grep -c "/\.$1\.nimbara-" /var/lib/com.corvellan.nimbara.helper/staged)"; }
        recorded Stuck.vst3; copy_big
        until s=$(echo "$VST3"/.Big.vst3.*); ls "$s" 2>/dev/null | grep -q f; do sleep 0.01; done
        mkdir "$s/mnt"; mount -t tmpfs tmpfs "$s/mnt"
        stop_helper; recorded Big.vst3; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN --tmpfs " VST3_PATH "/Stuck.vst3/mnt");
    EXPECT_THAT(run.output, ContainsRegex("stop-ms=[0-9]{1,4}\n"));  // within 10 s
    expectAll(run.output,
              {"helper-exit=0\nstop-ms=", "hidden=0\nold\nafter-kill: 1\nhidden=0\nold\n",
               "stuck-exit=0\nstuck=40 kept\nrecorded=1\n", "helper-exit=0\nrecorded=1\n"});
    EXPECT_THAT(run.output, ContainsRegex("\\] \\[helper\\] Removed leftover " VST3_PATH
                                          "/\\.Big\\.vst3\\.nimbara-[0-9a-f]{12}\n"));
    EXPECT_THAT(run.output,
                ContainsRegex("\\] \\[helper\\] Left the replaced item " VST3_PATH
                              "/\\.Stuck\\.vst3\\.nimbara-[0-9a-f]{12} for the next start: "
                              "Cannot remove [^\n]*/mnt: Invalid cross-device link\n"));
}

// Where /var is a link of root's into a folder of root's (as on macOS), the state folder is
// reached through it: a copy killed mid-way is in the record and swept at the restart, and the
// lock refuses a second helper even when the first one's socket file was moved away.
TEST(Lifecycle, StateFolderBehindTheSystemsVarLink) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        echo "var=$(readlink /var) $(stat -c '%U %a' /private/var)"
        mkdir -p /Users/ann/Big.vst3 "$VST3"
        for i in $(seq 40); do head -c 40M /dev/zero > /Users/ann/Big.vst3/f$i; done
        start_helper
        "$C" copy /Users/ann/Big.vst3 "$VST3/Big.vst3" > /dev/null 2>&1 & wait_staged
        kill -9 "$HPID"; wait "$HPID" 2>/dev/null
        staged=$(ls -A "$VST3" | grep '^\.Big')
        record=/private/var/lib/com.corvellan.nimbara.helper/staged
        echo "recorded=$(grep -c "$VST3/$staged\$" "$record")"
        start_helper
        [ "$(cat /var/lib/com.corvellan.nimbara.helper/helper.pid)" = "$HPID" ] && echo pid-file=ok
        echo "hidden=$(ls -A "$VST3" | grep -c '^\.')"
        mv "$SOCK" "$SOCK.moved"; timeout 5 "$H" > /tmp/second.out 2>&1
        echo "second-exit=$? $(cat /tmp/second.out)"; mv "$SOCK.moved" "$SOCK"
        stop_helper; show_log)SH",
                            "", "--var-link");
    expectAll(run.output,
              {"var=private/var root 755\n",
               "recorded=1\npid-file=ok\nhidden=0\nsecond-exit=1 [helper] Fatal: bind() failed: "
               "Address already in use\nhelper-exit=0\n"});
    EXPECT_THAT(run.output, ContainsRegex("\\] \\[helper\\] Removed leftover " VST3_PATH
                                          "/\\.Big\\.vst3\\.nimbara-[0-9a-f]{12}\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("Cannot keep a record")));
}

// Started with descriptors 0-2 closed and umask 077: no client descriptor becomes standard
// output (the client would receive log lines), and created folders are 0755. Started with its
// output to a reader that then goes away: the next log line fails, the helper serves on.
TEST(Lifecycle, KnownStartWhateverTheParentLeft) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        wait_socket() { for _ in $(seq 500); do [ -S "$SOCK" ] && break; sleep 0.01; done; }
        mkdir -p "$VST3" /Users/ann/B.vst3/sub; echo x > /Users/ann/B.vst3/sub/f
        (umask 077; exec "$H" <&- >&- 2>&-) & HPID=$!
        wait_socket; echo "== answer"
        "$P" $'send:{"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/New/Sub"}\n' shut drain
        "$P" $'send:{"id":"c","v":1,"op":"copy","source":"/Users/ann/B.vst3","dest":"/Library/Audio/Plug-Ins/VST3/B.vst3"}\n' shut drain
        echo "modes=$(stat -c %a "$VST3/New" "$VST3/New/Sub" "$VST3/B.vst3/sub" "$VST3/B.vst3/sub/f" | tr '\n' ' ')"
        stop_helper
        mkfifo /tmp/out
        head -c 1 /tmp/out > /dev/null &
        "$H" > /tmp/out & HPID=$!
        wait_socket; sleep 0.2
        python3 -c 'import socket; s = socket.socket(socket.AF_UNIX); s.connect("/var/run/com.corvellan.nimbara.helper.sock"); s.recv(100)'
        sleep 0.2
        "$C" ping > /dev/null; echo "ping-after=$?"
        stop_helper)SH");
    EXPECT_THAT(
        run.output,
        HasSubstr(
            "== answer\n{\"id\":\"m\",\"ok\":true}\n<EOF>\n{\"id\":\"c\",\"ok\":true}\n<EOF>\n"
            "modes=755 755 755 644 \nhelper-exit=0\nping-after=0\nhelper-exit=0\n"));
}

// A rotation renames the log file and sends SIGHUP while lines pour in: every line lands whole in
// the old file or the new one, none lost, none twice. A link, a second name or another user's
// file planted at the log's name is never written to; the log goes on where it was. The pid file
// names the serving helper and goes with it.
TEST(Lifecycle, TheLogFileIsReopenedOnSighupWithoutLosingALine) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        mkdir -p "$VST3"; pidfile=/var/lib/com.corvellan.nimbara.helper/helper.pid
        start_helper
        echo "pidfile=$([ "$(cat $pidfile)" = "$HPID" ] && echo ours) $(stat -c '%a %U' $pidfile)"
        for i in $(seq 1500); do echo "{\"id\":\"$i\",\"v\":1,\"op\":\"mkdir\",\"path\":\"$VST3/d$i\"}"; done > /tmp/req
        "$C" raw < /tmp/req > /dev/null & ops=$!
        for _ in $(seq 500); do grep -q "mkdir: $VST3/d100$" "$LOG" && break; sleep 0.01; done
        mv "$LOG" "$LOG.0"; kill -HUP "$HPID"; wait $ops; echo "ops=$?"
        both() { cat "$LOG.0" "$LOG" | grep -o "mkdir: $VST3/d[0-9]*$"; }
        echo "lines=$(both | wc -l) unique=$(both | sort -u | wc -l) reopened=$(grep -c "\] Reopened the log at $LOG$" "$LOG")"
        [ "$(grep -c mkdir: "$LOG")" -gt 0 ] && [ "$(grep -c mkdir: "$LOG.0")" -lt 1500 ] && echo "split"
        mv "$LOG" "$LOG.1"
        hup_until() {
            kill -HUP "$HPID"
            for _ in $(seq 500); do grep -o "Cannot reopen.*$1.*" "$LOG.1" && return; sleep 0.01; done
        }
        ln -s /tmp/elsewhere "$LOG"; hup_until "at $LOG: Too many levels"; rm "$LOG"
        ln "$LOG.1" "$LOG"; hup_until "more than one name"; rm "$LOG"
        touch "$LOG"; chown 1000 "$LOG"; hup_until "belongs to uid 1000"; rm "$LOG"
        [ -e /tmp/elsewhere ] || echo "never followed"
        kill -HUP "$HPID"; for _ in $(seq 500); do [ -s "$LOG" ] && break; sleep 0.01; done
        "$C" mkdir "$VST3/after" >/dev/null
        stop_helper; [ -e $pidfile ] || echo "pidfile gone"
        echo "new=$(stat -c '%a %U' "$LOG") $(grep -c "mkdir: $VST3/after$" "$LOG") $(cut -d' ' -f2- "$LOG" | tr '\n' '|')")SH");
    expectAll(
        run.output,
        {"pidfile=ours 644 root\n", "ops=0\nlines=1500 unique=1500 reopened=1\nsplit\n",
         "never followed\nhelper-exit=0\npidfile gone\n",
         "new=644 root 1 [helper] Reopened the log at /tmp/helper.log|[helper] mkdir: " VST3_PATH
         "/after|[helper] Stopped|"});
    for (const char* why : {"Too many levels of symbolic links", "it has more than one name",
                            "it belongs to uid 1000"}) {
        EXPECT_THAT(run.output,
                    HasSubstr(std::string("Cannot reopen the log at /tmp/helper.log: ") + why +
                              "; writing on to the file it had"));
    }
}

}  // namespace
}  // namespace nimbara
