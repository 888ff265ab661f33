// SPDX-License-Identifier: Apache-2.0
// What a client reads from the real helper beyond the plain answers: the progress lines of a
// copy that asks for them, in order before its answer and never mixed with the answers to other
// lines; the reason of a failed operation; and the command-line client that shows both.
#include <algorithm>
#include <sstream>
#include <vector>

#include "protocol/messages.h"
#include "support/sandbox.h"

namespace nimbara {
namespace {

// A bundle of 16,000 small files: copying it takes long enough for several progress lines.
const char* kManyFiles = R"SH(
    python3 -c '
import os
for d in range(40):
    os.makedirs(f"/Users/ann/Many.vst3/{d}")
    for f in range(400):
        with open(f"/Users/ann/Many.vst3/{d}/{f}", "w") as out: out.write("x" * 100)'
    mkdir -p /Users/ann/Small.vst3; echo v1 > /Users/ann/Small.vst3/file
    chown -R 1000:1000 /Users/ann
    start_helper
)SH";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ClientProtocol, ProgressComesBeforeItsAnswerAndFailuresCarryTheirReason) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kManyFiles) + R"SH(
        mk='{"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/A"}'
        cp='{"id":"p","v":1,"op":"copy","source":"/Users/ann/Many.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Many.vst3","progress":true}'
        no='{"id":"n","v":1,"op":"copy","source":"/Users/ann/Nope.vst3","dest":"/Library/Audio/Plug-Ins/VST3/N","progress":true}'
        plain='{"id":"q","v":1,"op":"copy","source":"/Users/ann/Small.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Q"}'
        t0=$(date +%s%N)
        as_user "$P" "send:$mk"$'\n'"$cp"$'\n'"$no"$'\n'"$plain"$'\n' shut drain > /tmp/out
        echo "ms=$(( ($(date +%s%N) - t0) / 1000000 ))"
        echo "--- wire"; cat /tmp/out; echo "--- end"
        stop_helper; cat "$LOG")SH");
    auto wire = run.output.substr(run.output.find("--- wire\n") + 9);
    auto lines = linesOf(wire.substr(0, wire.find("--- end")));
    ASSERT_GE(lines.size(), 6u);
    // The earlier line's answer first, although it came in the same read as the copy.
    EXPECT_EQ(lines.front(), R"({"id":"m","ok":true})");
    size_t i = 1;
    uint64_t total = 0, done = 0;
    for (; i < lines.size() && decodeProgress(lines[i]); ++i) {
        auto p = decodeProgress(lines[i]);
        EXPECT_EQ(p->id, "p");
        if (i == 1) {
            total = p->total;
            EXPECT_EQ(p->done, 0u) << lines[i];
        }
        EXPECT_EQ(p->total, total);
        EXPECT_GE(p->done, done) << lines[i];
        EXPECT_LE(p->done, total) << lines[i];
        done = p->done;
    }
    size_t progressLines = i - 1;
    EXPECT_GT(total, 16000u * 100);
    EXPECT_GE(done * 4, total);  // small files count what the measure counted for them
    // Several while the bytes move, and never more than a few a second.
    long ms = std::stol(run.output.substr(run.output.find("ms=") + 3));
    EXPECT_GE(progressLines, std::max<size_t>(2, 1 + static_cast<size_t>(ms) / 1000)) << ms;
    EXPECT_LE(progressLines, 2 + static_cast<size_t>(ms) / 200) << ms << " ms";
    ASSERT_EQ(lines.size(), i + 4);
    EXPECT_EQ(lines[i], R"({"id":"p","ok":true})");
    // The error text as it always was; the reason is the log line's.
    EXPECT_EQ(lines[i + 1],
              "{\"id\":\"n\",\"ok\":false,\"error\":\"The operation couldn\u2019t be completed. "
              "(Helper.OperationError error 0.)\",\"code\":\"OP_FAILED\",\"reason\":\"Copy failed: "
              "Cannot read /Users/ann/Nope.vst3: No such file or directory\"}");
    EXPECT_EQ(lines[i + 2], R"({"id":"q","ok":true})");  // without the key, nothing new
    EXPECT_EQ(lines[i + 3], "<EOF>");
    EXPECT_THAT(run.output, HasSubstr("copy failed: Copy failed: Cannot read "
                                      "/Users/ann/Nope.vst3: No such file or directory\n"));
}

// The command-line client shows progress as plain lines off a terminal, says when its copy waits
// behind another user's, and shows the reason of a failure.
TEST(ClientProtocol, CommandLineShowsProgressWaitingAndReasons) {
    SKIP_WITHOUT_SANDBOX();
    // Four times the files, so that the second copy waits well past the client's half second.
    std::string manyMore = kManyFiles;
    manyMore.replace(manyMore.find("range(400)"), 10, "range(1600)");
    auto run = runInSandbox(manyMore + R"SH(
        as_victim "$C" copy /Users/ann/Many.vst3 $VST3/Many.vst3 > /tmp/first 2>&1 & FIRST=$!
        wait_staged
        as_user "$C" copy /Users/ann/Small.vst3 $VST3/Small.vst3; echo "status=$?"
        wait $FIRST; cat /tmp/first
        as_user "$C" --quiet copy /Users/ann/Many.vst3 $VST3/Many2.vst3
        as_user "$C" copy /Users/ann/Nope.vst3 $VST3/Nope.vst3; echo "status=$?"
        stop_helper)SH");
    expectAll(run.output,
              {"nimbara-helper-client: waiting: the helper runs another operation first\n",
               "progress: 0 B of ", "status=0\n",
               ": reason: Copy failed: Cannot read /Users/ann/Nope.vst3: No such file or "
               "directory\n",
               "status=1\n"});
    // --quiet: the answer alone.
    EXPECT_THAT(run.output, ContainsRegex("\n[0-9]+-1: ok\n[0-9]+-1: The operation couldn"));
}

}  // namespace
}  // namespace nimbara
