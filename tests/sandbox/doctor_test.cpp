// SPDX-License-Identifier: Apache-2.0
// The client's doctor from an unprivileged user's seat, against the real helper in each of the
// situations an administrator meets: every finding that is not ok comes with its fix.
#include "support/sandbox.h"

namespace nimbara {
namespace {

TEST(Doctor, EachFaultIsFoundAndNamesItsFix) {
    SKIP_WITHOUT_SANDBOX();
    auto run = runInSandbox(R"SH(
        # One line per run: the status, then each finding that is not ok with its fix.
        doc() {
            echo "== $1"; shift
            as_user "${@:-$C}" doctor --json --helper "$H" | python3 -c '
import json, sys
r = json.load(sys.stdin)
print(r["status"], *sorted(k + ": " + v.get("fix", "NO FIX") for k, v in r.items()
                           if k != "status" and not v["ok"]), sep="\n")'
        }
        state=/var/lib/com.corvellan.nimbara.helper
        doc stopped
        mkdir -p /Library/Audio/Plug-Ins/VST3 /Library/Audio/Plug-Ins/Components \
                 "/Library/Application Support/Avid/Audio/Plug-Ins" /var/lib
        start_helper
        doc healthy
        # A service manager that knows the units but has them stopped.
        mkdir -p /run/systemd/system /tmp/bin
        printf '#!/bin/sh\nprintf "LoadState=loaded\\nUnitFileState=enabled\\nActiveState=inactive\\n"\n' \
            > /tmp/bin/systemctl
        chmod 755 /tmp/bin /tmp/bin/systemctl
        PATH=/tmp/bin:$PATH doc service-stopped; rm -r /run/systemd
        chmod 600 "$SOCK"; doc mode; chmod 666 "$SOCK"
        chown 1000 "$SOCK"; doc owner; chown 0 "$SOCK"
        stop_helper >/dev/null
        python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('$SOCK')"
        chmod 666 "$SOCK"; doc stale
        rm "$SOCK"; echo junk > "$SOCK"; doc file; rm "$SOCK"
        start_helper
        rmdir /Library/Audio/Plug-Ins/Components; doc folder-missing
        mkdir /Library/Audio/Plug-Ins/Components
        chown 1000 /Library/Audio/Plug-Ins/VST3; doc folder-owner
        chown 0 /Library/Audio/Plug-Ins/VST3
        chmod o+w /Library/Audio; doc folder-above; chmod o-w /Library/Audio
        chmod 755 "$state"; doc state; chmod 700 "$state"
        strip -o /tmp/unsigned "$C"; doc unsigned /tmp/unsigned
        as_user /tmp/unsigned doctor | grep '^signature:' | grep -o 'satisfy: identifier [^ ]*'
        stop_helper)SH");
    const std::string restart =
        "sudo systemctl restart com.corvellan.nimbara.helper.socket "
        "com.corvellan.nimbara.helper.service";
    const std::string tmpfiles =
        "plugin_folders: sudo systemd-tmpfiles --create com.corvellan.nimbara.helper.conf && ";
    const std::string expected[] = {
        "== stopped\n69\nhelper: " + restart + "\n" + tmpfiles + restart +
            "\nsocket: sudo systemctl enable --now com.corvellan.nimbara.helper.socket\n",
        "== healthy\n0\n== service-stopped\n69\nservice: sudo systemctl enable --now "
        "com.corvellan.nimbara.helper.socket\n== mode\n78\nhelper: " +
            restart + "\nsocket: " + restart + "\n",
        "== owner\n78\nsocket: " + restart + "\n",
        "== stale\n69\nhelper: " + restart + "\n",
        "== file\n69\nhelper: " + restart +
            "\nsocket: sudo rm '/var/run/com.corvellan.nimbara.helper.sock' && " + restart + "\n",
        "== folder-missing\n78\n" + tmpfiles + restart + "\n",
        "== folder-owner\n78\nplugin_folders: sudo chown root '/Library/Audio/Plug-Ins/VST3'\n",
        "== folder-above\n78\nplugin_folders: sudo chmod go-w '/Library/Audio'\n",
        "== state\n78\nstate: sudo chown root '/var/lib/com.corvellan.nimbara.helper' && sudo "
        "chmod 0700 '/var/lib/com.corvellan.nimbara.helper'\n",
        // Refused, as a client without the identity must be: not a fault of the installation.
        "== unsigned\n0\nsatisfy: identifier \"com.corvellan.nimbara\"\n",
    };
    for (const std::string& e : expected) EXPECT_THAT(run.output, HasSubstr(e));
}

}  // namespace
}  // namespace nimbara
