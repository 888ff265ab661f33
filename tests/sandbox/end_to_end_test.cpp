// SPDX-License-Identifier: Apache-2.0
// The whole job through the signed client: every operation's answers and log lines, refusals
// that touch nothing, operation failures, and the serial operation queue under concurrency.
#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

// Sends one raw request line with the signed probe and prints the answer.
const char* kHelpers = R"SH(
    req() { "$P" "send:$1"$'\n' shut drain | head -n 1; }
    mkdir -p /Users/ann/Foo.vst3/Contents/MacOS
    echo v1 > /Users/ann/Foo.vst3/Contents/MacOS/Foo
    ln -s Contents /Users/ann/Foo.vst3/Current
    start_helper
)SH";

// Refusals answer without touching anything or writing a log line: the operations' lines follow
// one another with nothing between them.
TEST(EndToEnd, EveryOperationSucceedsRefusalsTouchNothing) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kHelpers) + R"SH(
        req '{"id":"m","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/New/"}'
        req '{"id":"c","v":1,"op":"copy","source":"/Users/ann/./Foo.vst3","dest":"/Library/Audio/Plug-Ins/VST3//Foo.vst3"}'
        echo "content=$(cat /Library/Audio/Plug-Ins/VST3/Foo.vst3/Current/MacOS/Foo)"
        echo v2 > /Users/ann/Foo.vst3/Contents/MacOS/Foo
        req '{"id":"c2","v":1,"op":"copy","source":"/Users/ann/Foo.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Foo.vst3"}'
        echo "content=$(cat /Library/Audio/Plug-Ins/VST3/Foo.vst3/Current/MacOS/Foo)"
        req '{"id":"1","v":1,"op":"copy","source":"/Users/ann/Foo.vst3","dest":null}'
        req '{"id":"2","v":1,"op":"copy","source":"/Users/ann/Foo.vst3","dest":"/Library/Audio/Plug-Ins/VST3/../../../etc/x"}'
        [ -e /Library/etc ] || echo "untouched"
        req '{"id":"r","v":1,"op":"remove","dest":"/Library/Audio/Plug-Ins/VST3/Foo.vst3","path":"/etc"}'
        [ -e /Library/Audio/Plug-Ins/VST3/Foo.vst3 ] || echo "removed"
        req '{"id":"r2","v":1,"op":"remove","path":"/Library/Audio/Plug-Ins/VST3/Nothing"}'
        req '{"id":"m2","v":1,"op":"mkdir","dest":"/Library/Audio/Plug-Ins/VST3/New"}'
        stop_helper; show_log)SH");
    for (const char* id : {"m", "c", "c2", "r", "r2", "m2"}) {
        EXPECT_THAT(run.output, HasSubstr(R"({"id":")" + std::string(id) + "\",\"ok\":true}\n"));
    }
    expectAll(run.output,
              {"content=v1\n", "content=v2\n", "untouched\n", "removed\n",
               R"({"id":"1","ok":false,"error":"copy requires source and dest",)"
               R"("code":"VALIDATION_FAILED"})",
               R"({"id":"2","ok":false,"error":"Path outside allowed roots: /Library/etc/x",)"
               R"("code":"VALIDATION_FAILED"})"});
    std::regex lines(
        R"(\] \[helper\] mkdir: /Library/Audio/Plug-Ins/VST3/New\n)"
        R"(.*\] \[helper\] copy: /Users/ann/Foo.vst3 -> /Library/Audio/Plug-Ins/VST3/Foo.vst3\n)"
        R"(.*\] \[helper\] copy: /Users/ann/Foo.vst3 -> /Library/Audio/Plug-Ins/VST3/Foo.vst3\n)"
        R"(.*\] \[helper\] remove: /Library/Audio/Plug-Ins/VST3/Foo.vst3\n)"
        R"(.*\] \[helper\] remove: /Library/Audio/Plug-Ins/VST3/Nothing\n)"
        R"(.*\] \[helper\] mkdir: /Library/Audio/Plug-Ins/VST3/New\n)");
    EXPECT_TRUE(std::regex_search(run.output, lines));
}

// Failures answer OP_FAILED with the operation's code; the log tells them apart. The destination
// "Busy.vst3" is a mount point, which cannot be swapped out.
TEST(EndToEnd, OperationFailures) {
    SKIP_WITHOUT_SANDBOX();
    auto run =
        runInSandbox(std::string(kHelpers) + R"SH(
        echo kept > /Library/Audio/Plug-Ins/VST3/Busy.vst3/keep
        req '{"id":"busy","v":1,"op":"copy","source":"/Users/ann/Foo.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Busy.vst3"}'
        echo file > /Library/Audio/Plug-Ins/VST3/File
        req '{"id":"mk","v":1,"op":"mkdir","path":"/Library/Audio/Plug-Ins/VST3/File/Sub"}'
        req '{"id":"rm","v":1,"op":"remove","path":"/Library/Audio/Plug-Ins/VST3/Busy.vst3"}'
        mkdir -p /Library/Data /Library/Audio/Plug-Ins/VST3/Bound/mnt; echo d > /Library/Data/keep
        mount --bind /Library/Data /Library/Audio/Plug-Ins/VST3/Bound/mnt
        req '{"id":"rm2","v":1,"op":"remove","path":"/Library/Audio/Plug-Ins/VST3/Bound"}'
        echo "bound-kept=$(cat /Library/Data/keep)"
        echo "busy-kept=$(cat /Library/Audio/Plug-Ins/VST3/Busy.vst3/keep)"
        stop_helper; show_log)SH",
                     "--cap-add CAP_SYS_ADMIN --tmpfs /Library/Audio/Plug-Ins/VST3/Busy.vst3");
    auto opFailed = [](const std::string& id, int code) {
        return "{\"id\":\"" + id +
               "\",\"ok\":false,\"error\":\"The operation couldn\u2019t be completed. "
               "(Helper.OperationError error " +
               std::to_string(code) + ".)\",\"code\":\"OP_FAILED\",\"reason\":\"";
    };
    // A mount point is never entered, not even when it is the item itself; nor is a bind mount
    // of the same file system below the item.
    expectAll(
        run.output,
        {opFailed("busy", 0), opFailed("mk", 2), opFailed("rm", 1),
         "] [helper] copy failed: Copy failed: Failed to remove existing dest: Cannot replace "
         "/Library/Audio/Plug-Ins/VST3/Busy.vst3: Device or resource busy\n",
         "] [helper] mkdir failed: Mkdir failed: Cannot create folder "
         "/Library/Audio/Plug-Ins/VST3/File: Not a directory\n",
         "] [helper] remove failed: Remove failed: Cannot remove "
         "/Library/Audio/Plug-Ins/VST3/Busy.vst3: Invalid cross-device link\n",
         "Cannot remove /Library/Audio/Plug-Ins/VST3/Bound/mnt: Invalid cross-device link\n",
         "busy-kept=kept\n", "bound-kept=d\n"});
}

TEST(EndToEnd, OperationsRunOneAtATimePingDoesNotWait) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(std::string(kHelpers) + R"SH(
        mkdir -p /Users/ann/Big.vst3 && head -c 1500M /dev/zero > /Users/ann/Big.vst3/data
        ( req '{"id":"first","v":1,"op":"copy","source":"/Users/ann/Big.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Big.vst3"}'; echo "first-done=$(date +%s%N)" ) > /tmp/first &
        first=$!; wait_staged
        ( req '{"id":"second","v":1,"op":"copy","source":"/Users/ann/Foo.vst3","dest":"/Library/Audio/Plug-Ins/VST3/Foo.vst3"}'; echo "second-done=$(date +%s%N)" ) > /tmp/second &
        second=$!
        req '{"id":"p","v":1,"op":"ping"}'; ping=$(date +%s%N)
        wait "$first" "$second"; cat /tmp/first /tmp/second
        f=$(sed -n 's/first-done=//p' /tmp/first) s=$(sed -n 's/second-done=//p' /tmp/second)
        [ "$ping" -lt "$f" ] && echo "the ping did not wait"
        # Queued behind the large copy, the small one cannot answer much before it (the two
        # answers race only by scheduling).
        [ "$s" -gt $((f - 200000000)) ] && echo "the second copy waited"
        stop_helper; show_log)SH");
    expectAll(run.output, {R"({"id":"first","ok":true})", R"({"id":"second","ok":true})",
                           R"({"id":"p","ok":true,"v":1})", "the ping did not wait\n",
                           "the second copy waited\n"});
    EXPECT_TRUE(std::regex_search(
        run.output,
        std::regex(R"(copy: /Users/ann/Big.vst3 -> [^\n]+\n[^\n]+copy: /Users/ann/Foo.vst3)")));
}

}  // namespace
}  // namespace nimbara
