#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Turns on the operation queue: another user's one-file copy while one user queues eight large
# copies, against the same copy on an idle helper, in the sandbox with the real helper.
#   bench/run_fairness_bench.sh [BUILD_DIR] [FILES]     (run as root; default build, 20000)
# FILES is the number of files in each of the eight copies. Prints the idle and the loaded
# time of the one-file copy (medians of 5) and their ratio, and how long one large copy takes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd) files=${2:-20000}
script=$(mktemp /tmp/fairness-bench-XXXXXX)
trap 'rm -f "$script"' EXIT
cat > "$script" <<'SH'
source "$SRC/tests/sandbox/prelude.sh"
mkdir -p "$VST3" /Users/eve /Users/bob; chmod 0777 "$VST3"
chown 1000:1000 /Users/eve; chown 1001:1001 /Users/bob
as_user sh -c "mkdir /Users/eve/Large.vst3 && cd /Users/eve/Large.vst3 && seq $FILES | xargs touch"
as_victim sh -c 'mkdir /Users/bob/One.vst3 && echo one > /Users/bob/One.vst3/file'
start_helper
short() { t=$(date +%s%N); as_victim "$C" copy /Users/bob/One.vst3 "$VST3/One.vst3" >/dev/null; echo $((($(date +%s%N) - t) / 1000)); }
median() { sort -n | sed -n 3p; }
t=$(date +%s%N); as_user "$C" copy /Users/eve/Large.vst3 "$VST3/Large0.vst3" >/dev/null
echo "one large copy: $((($(date +%s%N) - t) / 1000000)) ms"
idle=$(for i in 1 2 3 4 5; do short; done | median)
loaded=$(for i in 1 2 3 4 5; do
    pids=""
    for j in 1 2 3 4 5 6 7 8; do as_user "$C" copy /Users/eve/Large.vst3 "$VST3/Large$j.vst3" >/dev/null & pids="$pids $!"; done
    wait_staged >/dev/null; sleep 1.5   # the eight have connected and queued
    short
    wait $pids
done | median)
echo "one-file copy of another user, idle helper: $idle us"
echo "the same while one user queues eight large copies: $loaded us"
awk -v a="$loaded" -v b="$idle" 'BEGIN { printf "ratio loaded/idle: %.1f\n", a / b }'
stop_helper >/dev/null
SH
SANDBOX_BWRAP_ARGS="--setenv FILES $files" timeout 900 scripts/sandbox.sh "$build" --ro-file "$script" -- bash /script
