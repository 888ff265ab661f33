// What users share, against the real helper: turns on the operation queue, the operation log's
// bound per user, sources that stay on one file system, and connection places that a burst of
// closed connections gives back. The users run unprivileged: uid 1000 and uid 1001.
#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

const char* kUsers = R"SH(
    mkdir -p "$VST3" /Users/eve /Users/bob; chmod 0777 "$VST3"
    chown 1000:1000 /Users/eve; chown 1001:1001 /Users/bob
    # The probe step that sends a copy request (its line feed added by the caller): ID SOURCE DEST.
    req() { printf 'send:{"id":"%s","v":1,"op":"copy","source":"%s","dest":"%s"}' "$1" "$2" "$3"; }
)SH";

int count(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return static_cast<int>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// uid 1000 queues eight copies of 10,000 files (the first of 100,000, so that it still runs
// while the others queue) and a ninth; uid 1001 then asks for a one-file copy. The last one
// of uid 1000 to come is refused at once; the short copy runs as soon as the copy running when
// it came has ended: before any second copy of uid 1000 is logged.
TEST(Sharing, UsersTakeTurnsOnTheQueue) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        as_user sh -c 'mkdir /Users/eve/Long.vst3 /Users/eve/Huge.vst3
            cd /Users/eve/Long.vst3 && seq 10000 | xargs touch; cd /Users/eve/Huge.vst3 && seq 100000 | xargs touch'
        as_victim sh -c 'mkdir /Users/bob/Short.vst3 && echo short > /Users/bob/Short.vst3/file'
        start_helper
        src=/Users/eve/Huge.vst3
        for i in 1 2 3 4 5 6 7 8 9; do
            as_user "$P" sleep:$((1800 + 40 * i)) "$(req long$i $src "$VST3/Long$i.vst3")"$'\n' shut drain > /tmp/long$i &
            LONG="$LONG $!"; src=/Users/eve/Long.vst3
        done
        as_victim "$P" sleep:2400 "$(req short /Users/bob/Short.vst3 "$VST3/Short.vst3")"$'\n' shut drain > /tmp/short &
        wait $LONG $!
        cat /tmp/long* /tmp/short
        stop_helper; show_log)SH");
    EXPECT_EQ(count(run.output, R"(\{"id":"long[0-9]","ok":true\})"), 8);
    EXPECT_EQ(count(run.output, R"(\{"id":"long[0-9]","ok":false,"error":"Too many operations )"
                                R"(waiting: at most 8 per user","code":"OP_FAILED"\})"),
              1);
    EXPECT_THAT(run.output, HasSubstr(R"({"id":"short","ok":true})"));
    size_t shortLine = run.output.find("] [helper] copy: /Users/bob/Short.vst3 -> ");
    ASSERT_NE(shortLine, std::string::npos);
    EXPECT_LE(count(run.output.substr(0, shortLine), R"(\] \[helper\] copy: /Users/eve/)"), 1);
}

// A flood of failing operations writes a burst of lines, then about one a second; the rest is
// counted, never dropped silently. Another user's line still goes out. A long path keeps both
// of its ends.
TEST(Sharing, TheLogIsBoundedPerUser) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        touch "$VST3/file" "$VST3/bobfile"
        { echo "{\"id\":\"deep\",\"v\":1,\"op\":\"mkdir\",\"path\":\"$VST3/deep/$(printf 'a%.0s/' $(seq 300))End\"}"
          for i in $(seq 2000); do echo "{\"id\":\"$i\",\"v\":1,\"op\":\"mkdir\",\"path\":\"$VST3/file/x\"}"; done
        } > /tmp/flood
        start_helper
        start=$(date +%s%N)
        as_user "$C" raw < /tmp/flood > /dev/null 2>&1
        echo "flood-ms=$((($(date +%s%N) - start) / 1000000))"
        as_victim "$C" mkdir "$VST3/bobfile/x" > /dev/null 2>&1
        sleep 1.1
        as_user "$C" mkdir "$VST3/file/last" > /dev/null 2>&1
        logged=$(grep '\] \[helper\] mkdir' "$LOG" | grep -vc bobfile)
        held=$(grep -o 'uid 1000: [0-9]* more operation lines not logged' "$LOG" | awk '{s += $3} END {print s + 0}')
        echo "logged=$logged held=$held"
        grep -m1 '\] \[helper\] mkdir: ' "$LOG" | awk '{print "long-line-bytes=" length($0)}'
        stop_helper; show_log)SH");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.output, m, std::regex("flood-ms=([0-9]+)\n")));
    int seconds = std::stoi(m[1]) / 1000;
    ASSERT_TRUE(std::regex_search(run.output, m, std::regex("logged=([0-9]+) held=([0-9]+)\n")));
    int logged = std::stoi(m[1]), held = std::stoi(m[2]);
    EXPECT_EQ(logged + held, 2002);
    EXPECT_LE(logged, 50 + seconds + 3);
    EXPECT_THAT(run.output, HasSubstr("mkdir failed: Mkdir failed: Cannot create folder " VST3_PATH
                                      "/bobfile: Not a directory\n"));
    EXPECT_THAT(run.output,
                ContainsRegex(R"(\] \[helper\] mkdir: /Library/Audio/Plug-Ins/VST3/deep/a/a/a)"
                              R"([a/]*\.\.\.[a/]*/End)"
                              "\n"));
    ASSERT_TRUE(std::regex_search(run.output, m, std::regex("long-line-bytes=([0-9]+)\n")));
    EXPECT_LT(std::stoi(m[1]), 900);
}

// A mount inside a bundle could be served by anything; the copy refuses it before reading it.
TEST(Sharing, SourcesStayOnOneFileSystem) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        as_user mkdir -p /Users/eve/Mount.vst3/Contents
        mount -t tmpfs -o mode=0755 tmpfs /Users/eve/Mount.vst3/Contents
        start_helper
        as_user "$C" copy /Users/eve/Mount.vst3 "$VST3/Mount.vst3"; echo "exit=$?"
        ls -A "$VST3"; echo "listed"
        stop_helper; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN");
    expectAll(run.output,
              {"exit=1\nlisted\n",
               "copy failed: Copy failed: Cannot copy /Users/eve/Mount.vst3/Contents: "
               "it lies on another file system than the folder that holds the source\n"});
}

// A file system served by a process: a FUSE server that answers only what it must (start-up
// and statfs) and fails every other request. The copy is refused before anything in it is read.
TEST(Sharing, FileSystemsServedByAProcessAreRefused) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        as_user mkdir /Users/eve/Remote
        cat > /tmp/server.py <<'PY'
import ctypes, os, struct, sys
fd = os.open("/dev/fuse", os.O_RDWR)
opts = "fd=%d,rootmode=40755,user_id=1000,group_id=1000,allow_other" % fd
if ctypes.CDLL(None, use_errno=True).mount(b"server", sys.argv[1].encode(), b"fuse", 0, opts.encode()):
    sys.exit("mount: " + os.strerror(ctypes.get_errno()))
print("mounted", flush=True)
while True:
    try:
        req = os.read(fd, 1 << 20)
    except OSError:
        break  # unmounted
    opcode, unique = struct.unpack_from("<IQ", req, 4)
    body = None
    if opcode == 26:  # INIT: protocol 7.31, 4 KiB writes
        body = struct.pack("<IIIIHHIIHHI28x", 7, 31, 0, 0, 16, 12, 4096, 0, 0, 0, 0)
    elif opcode == 17:  # STATFS
        body = struct.pack("<QQQQQIIII24x", 100, 50, 50, 100, 50, 4096, 255, 4096, 0)
    elif opcode in (2, 36, 42):  # FORGET, INTERRUPT, BATCH_FORGET: never answered
        continue
    error = 0 if body is not None else -2  # ENOENT
    body = body or b""
    os.write(fd, struct.pack("<IiQ", 16 + len(body), error, unique) + body)
PY
        python3 /tmp/server.py /Users/eve/Remote > /tmp/server.log 2>&1 &
        for _ in $(seq 200); do grep -q mounted /tmp/server.log && break; sleep 0.05; done
        cat /tmp/server.log
        start_helper
        as_user "$C" copy /Users/eve/Remote/X.vst3 "$VST3/X.vst3"; echo "exit=$?"
        umount /Users/eve/Remote
        stop_helper; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN --dev-bind /dev/fuse /dev/fuse");
    expectAll(run.output, {"mounted\n", "exit=1\n",
                           "copy failed: Copy failed: Cannot read /Users/eve/Remote/X.vst3: it "
                           "lies on a fuse file system, which the helper does not use\n"});
}

// A signed client that opens and closes 150 connections in a row, half of them after part of a
// request, and stays: their places come back, and the user's next connection is served.
TEST(Sharing, ClosedConnectionsStopCounting) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        start_helper
        as_user "$P" burst:150 sleep:4000 > /dev/null & burst=$!
        sleep 0.5
        timeout 3 setpriv --reuid=1000 --regid=1000 --clear-groups "$C" ping; echo "exit=$?"
        kill $burst
        stop_helper; show_log)SH");
    EXPECT_THAT(run.output, ContainsRegex("[0-9]+-1: ok.*\nexit=0\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("too many connections from uid 1000")));
}

}  // namespace
}  // namespace nimbara
