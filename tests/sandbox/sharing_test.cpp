// SPDX-License-Identifier: Apache-2.0
// What users share, against the real helper: turns on the operation queue, the log's bound per
// user, the file systems a copy reads, and the places of closed connections. The users run
// unprivileged: uid 1000 and uid 1001.
#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

const char* kUsers = R"SH(
    mkdir -p "$VST3" /Users/eve /Users/bob; chmod 0777 "$VST3"
    chown 1000:1000 /Users/eve; chown 1001:1001 /Users/bob
)SH";

int count(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return static_cast<int>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// uid 1000 queues nine copies of 10,000 files (the first of 100,000, so that it still runs
// while the others queue), uid 1001 then a one-file copy. The ninth to come is refused at once;
// the short copy runs once the copy running when it came has ended, before a second of uid 1000.
TEST(Sharing, UsersTakeTurnsOnTheQueue) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        as_user sh -c 'mkdir /Users/eve/L.vst3 /Users/eve/H.vst3 && cd /Users/eve/L.vst3 &&
            seq 10000 | xargs touch && cd ../H.vst3 && seq 100000 | xargs touch'
        as_victim sh -c 'mkdir /Users/bob/S.vst3 && echo short > /Users/bob/S.vst3/file'
        start_helper
        copy() { printf 'send:{"id":"%s","v":1,"op":"copy","source":"%s","dest":"%s"}\n_' "$@"; }
        for i in 1 2 3 4 5 6 7 8 9; do  # connected and checked while they wait
            r=$(copy long$i /Users/eve/$([ $i = 1 ] && echo H || echo L).vst3 "$VST3/L$i.vst3")
            as_user "$P" sleep:$((1800 + 40 * i)) "${r%_}" shut drain & ALL="$ALL $!"
        done
        r=$(copy short /Users/bob/S.vst3 "$VST3/S.vst3"); as_victim "$P" sleep:2400 "${r%_}" shut drain
        wait $ALL; stop_helper; show_log)SH");
    EXPECT_EQ(count(run.output, R"(\{"id":"long[0-9]","ok":true\})"), 8);
    EXPECT_EQ(count(run.output,
                    R"(\{"id":"long[0-9]","ok":false,"error":"Too many operations )"
                    R"(waiting: at most 8 per user","code":"OP_FAILED","reason":"Copy failed: Too )"
                    R"(many operations waiting: at most 8 per user"\})"),
              1);
    size_t shortLine = run.output.find("] [helper] copy: /Users/bob/S.vst3 -> ");
    ASSERT_NE(shortLine, std::string::npos);
    EXPECT_LE(count(run.output.substr(0, shortLine), R"(\] \[helper\] copy: /Users/eve/)"), 1);
}

// 2,002 failing operations of one user: a burst of lines, then about one a second, the rest
// counted; another user's line still goes out; a long path keeps both ends.
TEST(Sharing, TheLogIsBoundedPerUser) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        touch "$VST3/file" "$VST3/bobfile"
        mk() { echo "{\"id\":\"x\",\"v\":1,\"op\":\"mkdir\",\"path\":\"$VST3/$1\"}"; }
        { mk "deep/$(printf 'a%.0s/' $(seq 300))End"; for i in $(seq 2000); do mk file/x; done; } > /tmp/flood
        start_helper
        start=$(date +%s); as_user "$C" raw < /tmp/flood > /dev/null 2>&1
        echo "flood-s=$(($(date +%s) - start))"
        { as_victim "$C" mkdir "$VST3/bobfile/x"; sleep 1.1; as_user "$C" mkdir "$VST3/file/y"; } 2>/dev/null
        echo "logged=$(grep '\] \[helper\] mkdir' "$LOG" | grep -vc bobfile)"
        grep -o 'uid 1000: [0-9]* more operation lines' "$LOG" | awk '{s += $3} END {print "held=" s}'
        stop_helper; show_log)SH");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.output, m,
                                  std::regex("flood-s=([0-9]+)\nlogged=([0-9]+)\nheld=([0-9]+)")));
    EXPECT_EQ(std::stoi(m[2]) + std::stoi(m[3]), 2002);
    EXPECT_LE(std::stoi(m[2]), 50 + std::stoi(m[1]) + 3);
    expectAll(run.output, {"Mkdir failed: Cannot create folder " VST3_PATH "/bobfile: Not a"});
    EXPECT_THAT(run.output,
                ContainsRegex(R"(\] mkdir: )" VST3_PATH R"(/deep/a/a[a/]*\.\.\.[a/]*/End)"
                              "\n"));
}

// A mount inside a bundle, and a FUSE server that answers only start-up and statfs: both copies
// are refused before anything on the other file system is read.
TEST(Sharing, CopiesReadOnlyTrustedFileSystems) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        as_user mkdir -p /Users/eve/Mount.vst3/Contents /Users/eve/Remote
        mount -t tmpfs tmpfs /Users/eve/Mount.vst3/Contents
        python3 -c '
import ctypes, os, struct
fd = os.open("/dev/fuse", os.O_RDWR)
opts = b"fd=%d,rootmode=40755,user_id=1000,group_id=1000,allow_other" % fd
assert ctypes.CDLL(None).mount(b"x", b"/Users/eve/Remote", b"fuse", 0, opts) == 0
replies = {26: struct.pack("<IIIIHHIIHHI28x", 7, 31, 0, 0, 16, 12, 4096, 0, 0, 0, 0),  # INIT
           17: struct.pack("<QQQQQIIII24x", 9, 9, 9, 9, 9, 4096, 255, 4096, 0)}  # STATFS
while True:
    try: req = os.read(fd, 1 << 20)
    except OSError: break
    op, unique = struct.unpack_from("<IQ", req, 4)
    if op in (2, 36, 42): continue  # FORGET, INTERRUPT, BATCH_FORGET: never answered
    body = replies.get(op, b"")
    os.write(fd, struct.pack("<IiQ", 16 + len(body), 0 if op in replies else -2, unique) + body)
' & sleep 0.5
        start_helper
        for b in Mount Remote/X; do as_user "$C" copy /Users/eve/$b.vst3 "$VST3/X.vst3"; done
        umount /Users/eve/Remote; stop_helper; show_log)SH",
                            "--cap-add CAP_SYS_ADMIN --dev-bind /dev/fuse /dev/fuse");
    expectAll(run.output, {"copy failed: Copy failed: Cannot copy /Users/eve/Mount.vst3/Contents: "
                           "it lies on another file system than the folder that holds the source\n",
                           "copy failed: Copy failed: Cannot read /Users/eve/Remote/X.vst3: it "
                           "lies on a fuse file system, which the helper does not use\n"});
}

// A signed client opens and closes 150 connections in a row, half after part of a request, and
// stays: none of them is refused at the cap, and the user's next connection is served.
TEST(Sharing, ClosedConnectionsStopCounting) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kUsers) + R"SH(
        start_helper
        as_user "$P" burst:150 sleep:4000 > /dev/null & burst=$!
        sleep 0.5; timeout 3 setpriv --reuid=1000 --regid=1000 --clear-groups "$C" ping
        echo "exit=$?"; kill $burst; stop_helper; show_log)SH");
    EXPECT_THAT(run.output, ContainsRegex("[0-9]+-1: ok.*\nexit=0\n"));
    EXPECT_THAT(run.output, Not(HasSubstr("too many connections from uid 1000")));
}

}  // namespace
}  // namespace nimbara
