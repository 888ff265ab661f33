// SPDX-License-Identifier: Apache-2.0
// The checks behind the client's doctor, one finding each: a <sysexits.h> status (EX_OK when
// healthy), what was found, the command or step that mends it when it is not healthy, and the
// facts for --json. Run on the calling thread; no state between runs.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace nimbara {

struct Finding {
    int status = 0;  // EX_OK
    std::string text;
    std::string fix;  // empty when there is nothing to mend
    nlohmann::json facts = nlohmann::json::object();
};

// The helper's unit or job in the service manager (ok where there is none).
Finding checkService();

// Each plug-in folder: present, a real folder owned by root, below folders only root can change.
Finding checkPluginFolders();

// The helper's state folder: absent (made at the first start) or root's alone.
Finding checkStateFolder(const std::string& path);

// "0755" for the permission bits of `mode`.
std::string octalMode(unsigned mode);

}  // namespace nimbara
