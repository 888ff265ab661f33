// SPDX-License-Identifier: Apache-2.0
// Places the system keeps even from root: a refusal there is not about file permissions, and
// the reason given to people must say what would allow it. Pure; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nimbara {

// The words to add to the reason `err` gives for `path` (with a leading space), or "" when the
// error there means what it says.
std::string privacyNote(int err, std::string_view path);

}  // namespace nimbara
