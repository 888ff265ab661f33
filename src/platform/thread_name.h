// SPDX-License-Identifier: Apache-2.0
// Naming the calling thread for debuggers, crash reports and process listings, within the
// system's length limit (the label's tail is kept: it is the part that tells queues apart).
// Any thread, for itself only.
#pragma once

#include <string>

namespace nimbara {

// Names the calling thread `label`, or its tail when the system allows fewer bytes. Best effort.
void nameCurrentThread(const std::string& label);

}  // namespace nimbara
