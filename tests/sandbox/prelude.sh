# SPDX-License-Identifier: Apache-2.0
# Sourced by every sandbox script: where things are, and starting and stopping the helper.
H=$BUILD/helper/com.corvellan.nimbara.helper
C=$BUILD/client/nimbara-helper-client
P=$BUILD/tests/wire_probe
SOCK=/var/run/com.corvellan.nimbara.helper.sock
LOG=/tmp/helper.log
VST3=/Library/Audio/Plug-Ins/VST3

# Starts the helper in the background, its standard output in $LOG; waits for the socket.
start_helper() {
  "$H" "$@" >"$LOG" 2>&1 & HPID=$!
  for _ in $(seq 1000); do
    grep -q "Listening on" "$LOG" 2>/dev/null && return 0
    kill -0 "$HPID" 2>/dev/null || { echo "helper died"; cat "$LOG"; return 1; }
    sleep 0.01
  done
  echo "helper did not listen"; return 1
}

# Sends a signal (default TERM) and prints the exit status.
stop_helper() { kill -"${1:-TERM}" "$HPID"; wait "$HPID"; echo "helper-exit=$?"; }

# Waits until a copy has started staging in $VST3.
wait_staged() {
  for _ in $(seq 2000); do ls -A "$VST3" 2>/dev/null | grep -q '\.nimbara-' && return 0; sleep 0.01; done
  echo "no copy started"; return 1
}

show_log() { echo "--- log"; cat "$LOG"; echo "--- end"; }

# Runs a command as an unprivileged user: the attacker (1000), another user (1001), a user whose
# group is not her uid (1002, group 2002) and one with supplementary groups (1003: 3003, 3004).
as_user() { setpriv --reuid=1000 --regid=1000 --clear-groups "$@"; }
as_victim() { setpriv --reuid=1001 --regid=1001 --clear-groups "$@"; }
as_staff() { setpriv --reuid=1002 --regid=2002 --clear-groups "$@"; }
as_member() { setpriv --reuid=1003 --regid=1003 --groups=3003,3004 "$@"; }
