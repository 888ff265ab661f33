#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The client session the demo runs inside the sandbox: the helper serves every operation on a
# sample bundle for an unprivileged user, refuses another user's private files, a path outside
# its folders and an unsigned client.
set -uo pipefail
source "$SRC/tests/sandbox/prelude.sh"
# The client runs as the unprivileged user 1000 where the sandbox allows it (as root).
as_demo() { if [ "$(id -u)" -eq 0 ]; then as_user "$@"; else "$@"; fi; }
client() { echo "\$ nimbara-helper-client $*"; as_demo "$C" "$@" 2>&1; echo "  (exit $?)"; }

bundle="/Users/demo/Downloads/Nimbara Reverb.vst3"
mkdir -p "$bundle/Contents/Resources" "$bundle/Contents/x86_64-linux"
echo '<plist version="1.0"><dict/></plist>' > "$bundle/Contents/Info.plist"
echo 'reverb v1' > "$bundle/Contents/x86_64-linux/Nimbara Reverb.so"
ln -s "x86_64-linux" "$bundle/Contents/Current"
mkdir -p /Users/other/Secret.vst3 && echo secret > /Users/other/Secret.vst3/key
chmod 0700 /Users/other
[ "$(id -u)" -eq 0 ] && chown -R 1000:1000 /Users/demo && chown -R 1001:1001 /Users/other

echo "== Starting the helper at its real paths, inside the sandbox"
start_helper || exit 1
ls -l "$SOCK"

echo; echo "== A signed client's session"
client ping
client doctor --helper "$H"
client mkdir "$VST3/Nimbara"
client copy "$bundle" "$VST3/Nimbara/Nimbara Reverb.vst3"
find "$VST3" | sed 's/^/  /'
echo 'reverb v2' > "$bundle/Contents/x86_64-linux/Nimbara Reverb.so"
client copy "$bundle" "$VST3/Nimbara/Nimbara Reverb.vst3"
echo "  installed: $(cat "$VST3/Nimbara/Nimbara Reverb.vst3/Contents/Current/Nimbara Reverb.so")"
client remove "$VST3/Nimbara/Nimbara Reverb.vst3"
client --json raw <<'JSON'
{"id":"raw-1","v":1,"op":"ping"}
{"id":"raw-2","v":1,"op":"remove","path":"/Library/Audio/Plug-Ins/VST3/Nimbara"}
JSON

echo; echo "== Another user's private bundle is read as the caller, so it is refused"
client copy /Users/other/Secret.vst3 "$VST3/Secret.vst3"

echo; echo "== Refused paths"
client copy /etc/shadow "$VST3/shadow"
client remove "$VST3/../../../../etc"

echo; echo "== An unsigned client (plain python3) is refused"
python3 - <<'PY'
import socket
s = socket.socket(socket.AF_UNIX)
s.connect("/var/run/com.corvellan.nimbara.helper.sock")
print("  answer:", s.makefile().readline().strip())
PY

echo; echo "== Stopping the helper with SIGTERM"
stop_helper
[ -e "$SOCK" ] || echo "socket removed"

echo; echo "== The helper's log"
cat "$LOG"
