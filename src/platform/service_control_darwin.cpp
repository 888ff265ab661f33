// SPDX-License-Identifier: Apache-2.0
// launchd: `launchctl print system/<label>` answers for a loaded job, fails for an unknown one.
#include <stdio.h>

#include <string>

#include "platform/service_control.h"

namespace nimbara {
namespace {

constexpr const char* kJobLabel = "com.corvellan.nimbara.helper";
constexpr const char* kJobPlist = "/Library/LaunchDaemons/com.corvellan.nimbara.helper.plist";

}  // namespace

HelperService queryHelperService() {
    HelperService s;
    s.managerPresent = true;
    std::string cmd = std::string("launchctl print system/") + kJobLabel + " 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) return s;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        size_t at = text.find("state = ");
        if (at != std::string::npos && s.state.empty()) {
            s.state = text.substr(at + 8);
            if (!s.state.empty() && s.state.back() == '\n') s.state.pop_back();
        }
    }
    // A loaded job is both: launchd loads it at boot (RunAtLoad) and keeps it alive.
    s.known = s.enabled = s.active = ::pclose(pipe) == 0;
    if (!s.known) s.state = "not loaded";
    return s;
}

std::string commandToStartHelper() {
    return std::string("sudo launchctl bootstrap system ") + kJobPlist;
}

std::string commandToRestartHelper() {
    return std::string("sudo launchctl kickstart -k system/") + kJobLabel;
}

std::string commandToCreatePluginFolders() {
    return "sudo mkdir -p '/Library/Audio/Plug-Ins/VST3' '/Library/Audio/Plug-Ins/Components' "
           "'/Library/Application Support/Avid/Audio/Plug-Ins'";
}

}  // namespace nimbara
