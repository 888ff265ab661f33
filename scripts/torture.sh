#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The torture run: several users' clients send random copies, removals and folder creations over
# random trees to the real helper in a sandbox, while the run kills it (SIGKILL, SIGTERM) and
# starts it again, fills its destination file system and has its file-system calls fail at random
# (tests/torture/fault_shim.cpp, loaded into the helper only). After every round it checks each
# destination (absent, the old bundle or the new one, byte for byte), leftovers and the record of
# staged copies, ping times, and the helper's descriptors, threads and memory when idle.
#   scripts/torture.sh [--build DIR] [--seed N] [--ops N] [--seconds S] [--kill-every N]
# Prints its seed first; --seed N replays the same sequence of actions. Runs as root; exit 77
# when bubblewrap cannot make the sandbox. Long runs: nice -n 19 scripts/torture.sh --ops 100000
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
if ! bwrap --unshare-pid --ro-bind / / --proc /proc true >/dev/null 2>&1; then
  echo "torture: bubblewrap cannot create namespaces here; skipped"; exit 77
fi
# The plug-in folders get a small file system of their own, which the run fills.
export SANDBOX_BWRAP_ARGS="--size 268435456 --tmpfs /Library/Audio/Plug-Ins"
exec "$src/scripts/sandbox.sh" "$build" -- python3 "$src/scripts/torture_driver.py" "${args[@]}"
