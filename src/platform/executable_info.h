// SPDX-License-Identifier: Apache-2.0
// A program's executable file as the client's diagnostics see it: this process's own
// executable, and the information property list an executable carries (on Linux, the bytes of
// its ELF section .info_plist). Reads only; stateless; any thread.
#pragma once

#include <string>

#include "base/unique_fd.h"

namespace nimbara {

// The path of this process's own executable; empty when the system does not say.
std::string ownExecutablePath();

// Reads the information property list embedded in the executable open at `fd`. Returns true
// and sets `plist`; false with `error` in words when the file is not an executable of this
// platform, is damaged, or carries no list.
bool readEmbeddedInfoPlist(int fd, std::string& plist, std::string& error);

}  // namespace nimbara
