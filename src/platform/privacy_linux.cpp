// SPDX-License-Identifier: Apache-2.0
#include "platform/privacy.h"

namespace nimbara {

std::string privacyNote(int, std::string_view) {
    return {};  // no access control beyond permissions, ACLs and the sandbox that started us
}

}  // namespace nimbara
