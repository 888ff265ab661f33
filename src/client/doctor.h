// SPDX-License-Identifier: Apache-2.0
// The client's `doctor`: checks an installed helper from an ordinary user's seat (it needs no
// root) and reports one finding per line, or one JSON object for scripts. Runs on the calling
// thread; holds no state between runs.
#pragma once

#include <string>

namespace nimbara {

struct DoctorOptions {
    std::string socketPath;
    std::string helperPath;  // the installed helper executable
    bool json = false;
};

// Runs every check and prints the report on standard output. Returns the <sysexits.h> status
// of the first check that failed (EX_UNAVAILABLE, EX_CONFIG, EX_PROTOCOL, EX_NOPERM, EX_OSFILE),
// EX_OK when none did.
int runDoctor(const DoctorOptions& options);

}  // namespace nimbara
