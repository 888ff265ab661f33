// SPDX-License-Identifier: Apache-2.0
// systemd: `systemctl show` for the socket and service units, read through a pipe.
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/service_control.h"

namespace nimbara {
namespace {

constexpr const char* kSocketUnit = "com.corvellan.nimbara.helper.socket";
constexpr const char* kServiceUnit = "com.corvellan.nimbara.helper.service";

using Properties = std::map<std::string, std::string>;

// The properties `systemctl show` gives for `unit`; empty when it cannot run.
Properties showUnit(const std::string& unit) {
    std::string cmd = "systemctl show --property=LoadState,UnitFileState,ActiveState,SubState " +
                      unit + " 2>/dev/null";
    Properties props;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) return props;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        size_t eq = text.find('=');
        if (eq == std::string::npos) continue;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        props[text.substr(0, eq)] = text.substr(eq + 1);
    }
    ::pclose(pipe);
    return props;
}

}  // namespace

HelperService queryHelperService() {
    HelperService s;
    // systemd's own test of whether it is the running service manager (sd_booted).
    s.managerPresent = ::access("/run/systemd/system", F_OK) == 0;
    if (!s.managerPresent) return s;
    Properties sock = showUnit(kSocketUnit), svc = showUnit(kServiceUnit);
    s.known = sock["LoadState"] == "loaded" || svc["LoadState"] == "loaded";
    s.enabled = sock["UnitFileState"] == "enabled" || svc["UnitFileState"] == "enabled";
    s.active = sock["ActiveState"] == "active" || svc["ActiveState"] == "active";
    s.state = std::string(kSocketUnit) + " " + sock["ActiveState"] + " (" + sock["SubState"] +
              ", " + sock["UnitFileState"] + "), " + kServiceUnit + " " + svc["ActiveState"] +
              " (" + svc["SubState"] + ")";
    return s;
}

std::string commandToStartHelper() {
    return std::string("sudo systemctl enable --now ") + kSocketUnit;
}

std::string commandToRestartHelper() {
    return std::string("sudo systemctl restart ") + kSocketUnit + " " + kServiceUnit;
}

std::string commandToCreatePluginFolders() {
    return "sudo systemd-tmpfiles --create com.corvellan.nimbara.helper.conf && " +
           commandToRestartHelper();
}

}  // namespace nimbara
