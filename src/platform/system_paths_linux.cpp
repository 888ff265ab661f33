// SPDX-License-Identifier: Apache-2.0
#include "platform/system_paths.h"

namespace nimbara {

const char* const kStateFolder = "/var/lib/com.corvellan.nimbara.helper";

}  // namespace nimbara
