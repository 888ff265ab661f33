// SPDX-License-Identifier: Apache-2.0
// A library a user could slip into a signed client: loaded by LD_PRELOAD, or as an auditor by
// LD_AUDIT. With INJECTED_HIDES set it wipes the loader variables from the process's start-up
// environment, as a careful attacker would, so that only its mapped code gives it away.
#include <cstdlib>
#include <cstring>

extern char** environ;

extern "C" unsigned int la_version(unsigned int version) {
    return version;  // accepted as an auditor
}

__attribute__((constructor)) static void hide() {
    if (!std::getenv("INJECTED_HIDES")) return;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0 || std::strncmp(*e, "LD_AUDIT=", 9) == 0)
            std::memset(*e, 'X', std::strlen(*e));  // the bytes /proc/PID/environ shows
    }
}
