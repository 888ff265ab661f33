// SPDX-License-Identifier: Apache-2.0
// Runs a bash script inside a throwaway sandbox where the real helper runs at its real paths
// (see scripts/sandbox.sh). The script starts with tests/sandbox/prelude.sh sourced.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

namespace nimbara {
namespace testing {

struct SandboxRun {
    int status = -1;     // the script's exit status
    std::string output;  // standard output and standard error, interleaved
    // Shows the output's first 8,000 bytes with every failure while the run is in scope.
    std::unique_ptr<::testing::ScopedTrace> trace;
};

// True when bubblewrap can make the sandbox here.
bool sandboxAvailable();

// Runs `script`; `bwrapArgs` are added to the sandbox's command line (extra mounts),
// `sandboxOptions` to scripts/sandbox.sh's (such as --var-link).
SandboxRun runInSandbox(const std::string& script, const std::string& bwrapArgs = "",
                        const std::string& sandboxOptions = "");

// Expects each of `texts` somewhere in `output`.
inline void expectAll(const std::string& output, std::initializer_list<std::string> texts) {
    for (const std::string& text : texts) EXPECT_THAT(output, ::testing::HasSubstr(text));
}

}  // namespace testing

// What every sandbox test checks its output with.
using ::testing::ContainsRegex;
using testing::expectAll;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::runInSandbox;

}  // namespace nimbara

#define VST3_PATH "/Library/Audio/Plug-Ins/VST3"

#define SKIP_WITHOUT_SANDBOX()                   \
    if (!::nimbara::testing::sandboxAvailable()) \
    GTEST_SKIP() << "bubblewrap cannot create namespaces here; sandbox tests need them"
