#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# System calls per item of a copy and a removal: the real helper (every thread traced, its copy
# asked for by the attacker's client) against `cp -a` and `rm -rf` of the same bundle, in the
# sandbox on tmpfs: once with /Users and /Library on one file system, as on a user's disk, and
# once on two (the sandbox's usual layout), where the kernel's copy path is not available.
# Needs strace (`apt-get install strace`; a bench-only tool).
#   bench/count_syscalls.sh [BUILD_DIR] [small|large]
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  command -v strace >/dev/null || { echo "needs strace: apt-get install strace" >&2; exit 1; }
  shared=$(mktemp -d /dev/shm/nimbara-syscalls.XXXXXX)
  trap 'rm -rf "$shared"' EXIT
  mkdir -p "$shared/Users" "$shared/Library"
  echo "== /Users and /Library on one tmpfs"
  SANDBOX_BWRAP_ARGS="--bind $shared/Users /Users --bind $shared/Library /Library" \
    scripts/sandbox.sh "${1:-build}" -- bash "$PWD/bench/count_syscalls.sh" --inside "${2:-small}"
  echo "== /Users and /Library on two tmpfs mounts"
  scripts/sandbox.sh "${1:-build}" -- bash "$PWD/bench/count_syscalls.sh" --inside "${2:-small}"
  exit
fi
kind=$2
source "$SRC/tests/sandbox/prelude.sh"
src=/Users/eve/Bundle.vst3
mkdir -p /Users/eve "$VST3" /Library/cp && chown 1000:1000 /Users/eve
"$BUILD/bench/bundle_ops_bench" --make "$kind" "$src"
items=$(find "$src" -mindepth 1 | wc -l)

# Prints the calls per item, in all and of the seven most frequent system calls.
summarize() { # label, summary file
  local total top
  total=$(awk '$NF == "total" { print $4 }' "$2")
  top=$(awk '$1 ~ /^[0-9.]+$/ && $NF != "total" { print $4, $NF }' "$2" | sort -rn | head -n 7 |
    awk -v n="$items" '{ printf " %s %.2f", $2, $1 / n }')
  printf '%-14s %6d calls %6.2f per item; per item:%s\n' "$1" "$total" \
    "$(awk -v t="$total" -v n="$items" 'BEGIN { print t / n }')" "$top"
}

# The helper, every thread of it, while it copies and then removes.
trace_helper() { # label, client arguments...
  local label=$1 tids=() t; shift
  for t in /proc/"$HPID"/task/*; do tids+=(-p "${t##*/}"); done
  strace -c -f -o "/tmp/$label.strace" "${tids[@]}" 2>/dev/null & local spid=$!
  sleep 0.5  # attached
  as_user "$C" "$@" >/dev/null
  kill -INT "$spid"; wait "$spid" || true
  summarize "$label" "/tmp/$label.strace"
}

echo "$kind bundle: $items items"
start_helper
trace_helper "helper copy" copy "$src" "$VST3/Bundle.vst3"
trace_helper "helper remove" remove "$VST3/Bundle.vst3"
stop_helper >/dev/null
strace -c -f -o /tmp/cp.strace cp -a "$src" /Library/cp/Bundle.vst3
summarize "cp -a" /tmp/cp.strace
strace -c -f -o /tmp/rm.strace rm -rf /Library/cp/Bundle.vst3
summarize "rm -rf" /tmp/rm.strace
