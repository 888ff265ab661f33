// SPDX-License-Identifier: Apache-2.0
// What the client's doctor asks of the system's service manager about the helper, and the
// commands an administrator runs to mend what it finds. Runs the manager's own command-line
// tool (read-only queries); stateless; any thread.
#pragma once

#include <string>

namespace nimbara {

struct HelperService {
    bool managerPresent = false;  // a service manager runs here (systemd, launchd)
    bool known = false;           // it has the helper's unit or job
    bool enabled = false;         // it starts the helper at boot or on demand
    bool active = false;          // it listens for the helper or runs it
    std::string state;            // what it said, in its own words, one line
};

// The helper's unit or job as the service manager sees it.
HelperService queryHelperService();

// Commands for doctor's fixes, each a full command line to run as is.
std::string commandToStartHelper();    // enable and start
std::string commandToRestartHelper();  // the socket made anew, the helper restarted
// Creates the plug-in folders the install defines, root-owned 0755, and lets the helper write
// into folders that were missing when it started.
std::string commandToCreatePluginFolders();

}  // namespace nimbara
