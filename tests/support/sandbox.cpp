// SPDX-License-Identifier: Apache-2.0
#include "support/sandbox.h"

#include <sys/wait.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>

#include "base/sys.h"

namespace nimbara::testing {

bool sandboxAvailable() {
    static const bool available =
        std::system("bwrap --unshare-pid --ro-bind / / --proc /proc true >/dev/null 2>&1") == 0;
    return available;
}

SandboxRun runInSandbox(const std::string& script, const std::string& bwrapArgs,
                        const std::string& sandboxOptions) {
    char tmpl[] = "/tmp/sandbox-script-XXXXXX";
    int fd = ::mkstemp(tmpl);
    std::string path = tmpl;
    std::string body = "source \"$SRC/tests/sandbox/prelude.sh\"\n" + script + "\n";
    bool written = nimbara::writeAll(fd, body);
    ::close(fd);
    if (!written) return {-1, "cannot write the sandbox script " + path, nullptr};
    std::string cmd = "SANDBOX_BWRAP_ARGS='" + bwrapArgs +
                      "' timeout 120 " NIMBARA_SOURCE_DIR "/scripts/sandbox.sh " NIMBARA_BUILD_DIR
                      " --ro-file " +
                      path + " " + sandboxOptions + " -- bash /script 2>&1";
    SandboxRun run;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) run.output.append(buf, n);
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::unlink(path.c_str());
    run.trace =
        std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__, run.output.substr(0, 8000));
    return run;
}

}  // namespace nimbara::testing
