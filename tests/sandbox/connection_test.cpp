// Connection handling against the real helper: the client check, framing, ordering and the
// pending-bytes limit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "support/sandbox.h"

namespace nimbara {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::runInSandbox;

std::string ping(const std::string& id) {
    return R"({"id":")" + id + R"(","v":1,"op":"ping"})";
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
mkdir = b"{\"id\":\"x\",\"v\":1,\"op\":\"mkdir\",\"path\":\"/Library/Audio/Plug-Ins/VST3/Evil\"}\n"
def send():
    try:
        s.sendall(mkdir)
    except OSError:
        pass  # refused before the request went out; the refusal is still there to read
send()
data = b""
while True:
    chunk = s.recv(4096)
    if not chunk: break
    data += chunk
send()  # and once more after the refusal: nothing may serve it
time.sleep(0.2)
print("unsigned-pid=%d" % os.getpid())
print("unsigned-got=%r" % data)
'
        [ -e "$VST3/Evil" ] || echo "nothing-served"
        cp "$C" /tmp/copied-client && echo x >> /tmp/copied-client
        /tmp/copied-client ping; echo "modified-exit=$?"
        stop_helper
        show_log)SH");
    SCOPED_TRACE(run.output);
    EXPECT_TRUE(std::regex_search(
        run.output, std::regex(R"(\{"id":"[0-9]+-1","ok":true,"v":1\}\nsigned-exit=0)")));
    EXPECT_THAT(
        run.output,
        HasSubstr(
            R"(unsigned-got=b'{"id":"unknown","ok":false,"error":"Code signature verification failed","code":"SIGNATURE_INVALID"}\n')"));
    EXPECT_THAT(run.output, HasSubstr("nothing-served\n"));
    EXPECT_THAT(run.output, HasSubstr("modified-exit=77"));
    // The log names the refused peer's pid.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(run.output, m, std::regex("unsigned-pid=([0-9]+)")));
    EXPECT_THAT(
        run.output,
        HasSubstr("] [helper] Rejected connection: signature invalid (pid: " + m[1].str() + ")\n"));
}

struct FramingCase {
    std::string name;
    std::string steps;     // wire_probe arguments
    std::string expected;  // everything received, then <EOF>
};

TEST(Connection, Framing) {
    SKIP_WITHOUT_SANDBOX();
    const std::string malformed =
        R"({"id":"unknown","ok":false,"error":"Malformed request: invalid JSON: )";
    const std::vector<FramingCase> cases{
        {"half-close", "'send:" + ping("h") + "\\n' shut drain",
         R"({"id":"h","ok":true,"v":1})"
         "\n<EOF>"},
        {"split",
         "'send:{\"id\":\"s\",\"v\"' sleep:50 'send::1,\"op\"' sleep:50 'send::\"ping\"}\\n' shut "
         "drain",
         R"({"id":"s","ok":true,"v":1})"
         "\n<EOF>"},
        {"pipelined", "'send:" + ping("a") + "\\n" + ping("b") + "\\r\\n' shut drain",
         R"({"id":"a","ok":true,"v":1})"
         "\n"
         R"({"id":"b","ok":true,"v":1})"
         "\n<EOF>"},
        {"unterminated", "'send:" + ping("u") + "' shut drain", "<EOF>"},
        {"empty-line", "'send:\\n" + ping("e") + "\\n' shut drain", malformed},
        {"largest", "ping:65535 shut drain",
         R"({"id":"big","ok":true,"v":1})"
         "\n<EOF>"},
        {"overflow", "fill:65536:x sleep:100 send:y shut drain", "<EOF>"},
        {"complete-but-over",
         "fill:65000:x sleep:100 'send:" + std::string(600, 'x') + "\\n" + ping("lost") +
             "\\n' shut drain",
         "<EOF>"},
    };
    std::string script = "start_helper\n";
    for (const auto& c : cases) {
        script += "echo '== " + c.name + "'; \"$P\" " + c.steps + "; echo\n";
    }
    script += "stop_helper\nshow_log\n";
    auto run = runInSandbox(script);
    SCOPED_TRACE(run.output);
    for (const auto& c : cases) {
        size_t at = run.output.find("== " + c.name + "\n");
        ASSERT_NE(at, std::string::npos) << c.name;
        std::string got = run.output.substr(at + c.name.size() + 4);
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.name;
    }
    // The empty line is answered and the connection goes on to the next request.
    EXPECT_THAT(run.output, HasSubstr("\"code\":\"OP_FAILED\"}\n" +
                                      std::string(R"({"id":"e","ok":true,"v":1})") + "\n<EOF>"));
    size_t overflows = 0;
    for (size_t at = 0;
         (at = run.output.find("Buffer overflow from pid ", at)) != std::string::npos; ++at) {
        ++overflows;
    }
    EXPECT_EQ(overflows, 2u);
    EXPECT_TRUE(std::regex_search(
        run.output,
        std::regex(R"(\] \[helper\] Buffer overflow from pid [0-9]+, disconnecting\n)")));
}

}  // namespace
}  // namespace nimbara
