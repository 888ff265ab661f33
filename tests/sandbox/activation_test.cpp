// SPDX-License-Identifier: Apache-2.0
// The helper under a service manager: a listening socket passed in (systemd's protocol), its
// readiness report, and log lines in the journal's form when standard output is the journal;
// and the sandbox that stands in for the machine, reachable for the users inside it.
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "support/sandbox.h"

namespace nimbara {
namespace {

// The helper serves on the socket it is given and leaves it to the service manager: the file
// stays, and a client that connects between two runs is served by the next one. A socket passed
// to another pid is not taken, and one that listens anywhere else is the start's fatal error.
TEST(Activation, ServesOnThePassedSocketAndLeavesItInPlace) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(H=$H C=$C python3 "$SRC/tests/sandbox/service_manager.py")SH");
    EXPECT_THAT(run.output, HasSubstr("ready=READY=1\nping=0\nexit=0\nsocket-kept=True\n"
                                      "queued-ping=0\nother-pid-exit=1\nelsewhere-exit=1\n"));
    EXPECT_THAT(run.output, HasSubstr("<6>[helper] Listening on /var/run/"
                                      "com.corvellan.nimbara.helper.sock\n<6>[helper] Stopped\n"
                                      "<3>[helper] Fatal: The socket from the service manager is "
                                      "not a listening socket at the helper's path\n--- plain\n"));
    // JOURNAL_STREAM naming another file: the plain timestamped lines.
    EXPECT_THAT(run.output,
                ContainsRegex("--- plain\n\\[[0-9T:Z-]+\\] \\[helper\\] Listening on "));
}

// The sandbox itself: a build below /tmp, behind folders only root may enter, stays reachable
// for an unprivileged user inside, whose client must run there.
TEST(Activation, SandboxOpensTheWayToABuildBelowTmp) {
    SKIP_WITHOUT_SANDBOX();
    char dir[] = "/tmp/sandbox-reach-XXXXXX";  // mkdtemp makes it 0700
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string build = std::string(dir) + "/build";
    std::string cmd = "mkdir -m 755 " + build + " && printf 'echo reached\\n' > " + build +
                      "/probe && " NIMBARA_SOURCE_DIR "/scripts/sandbox.sh " + build +
                      " -- setpriv --reuid=1000 --regid=1000 --clear-groups bash " + build +
                      "/probe 2>&1; rm -rf " + dir;
    std::string out;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    ::pclose(pipe);
    EXPECT_EQ(out, "reached\n");
}

}  // namespace
}  // namespace nimbara
