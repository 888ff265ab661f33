// The helper under a service manager: a listening socket passed in (systemd's protocol), its
// readiness report, and log lines in the journal's form when standard output is the journal.
#include "support/sandbox.h"

namespace nimbara {
namespace {

// The helper serves on the socket it is given and leaves it to the service manager: the file
// stays, and a client that connects between two runs is served by the next one. A socket that
// listens anywhere else is refused as the start's fatal error.
TEST(Activation, ServesOnThePassedSocketAndLeavesItInPlace) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(H=$H C=$C python3 "$SRC/tests/sandbox/service_manager.py")SH");
    EXPECT_THAT(run.output, HasSubstr("ready=READY=1\nping=0\nexit=0\nsocket-kept=True\n"
                                      "queued-ping=0\nelsewhere-exit=1\n"));
    EXPECT_THAT(run.output, HasSubstr("<6>[helper] Listening on /var/run/"
                                      "com.corvellan.nimbara.helper.sock\n<6>[helper] Stopped\n"
                                      "<3>[helper] Fatal: The socket from the service manager is "
                                      "not a listening socket at the helper's path\n--- plain\n"));
    // JOURNAL_STREAM naming another file: the plain timestamped lines.
    EXPECT_THAT(run.output,
                ContainsRegex("--- plain\n\\[[0-9T:Z-]+\\] \\[helper\\] Listening on "));
}

}  // namespace
}  // namespace nimbara
