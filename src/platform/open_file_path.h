// SPDX-License-Identifier: Apache-2.0
// The path an open descriptor was reached by, as the system records it: what the log needs to
// open its file anew at the same name after a rotation. Stateless; any thread.
#pragma once

#include <string>

namespace nimbara {

// The absolute path of the file open at `fd`, as the system knows it now (a file renamed since
// it was opened gives its new name). "" when the system cannot tell or the file was removed.
std::string pathOfOpenFile(int fd);

}  // namespace nimbara
