// SPDX-License-Identifier: Apache-2.0
// Fixed places of the system the helper keeps its own files in. Constant; any thread.
#pragma once

namespace nimbara {

// The root-only folder for the helper's state (the record of staged copies).
extern const char* const kStateFolder;

}  // namespace nimbara
