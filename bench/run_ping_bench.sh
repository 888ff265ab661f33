#!/usr/bin/env bash
# The helper's ping path against a bare line server on the same socket path, in one sandbox:
# the two run alternately in interleaved pairs (the order flips every pair), and for each load
# the ratio helper/baseline of answers per second is printed with its min/median/max.
#   bench/run_ping_bench.sh [BUILD_DIR] [PAIRS]        (BUILD_DIR built with BUILD_BENCHMARKS=ON)
# PING_BENCH_UIDS (default 8): how many users the 256 and 1,000 connections are spread over,
# so that a per-user connection cap does not refuse them.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  build=${1:-build}
  exec scripts/sandbox.sh "$build" -- bash "$PWD/bench/run_ping_bench.sh" --inside "${2:-5}" \
    "${PING_BENCH_UIDS:-8}"
fi
pairs=$2 uids=$3
source "$SRC/tests/sandbox/prelude.sh"
L=$BUILD/bench/ping_load

start_bare() {
  "$BUILD/bench/line_server" & BPID=$!
  until [ -S "$SOCK" ]; do sleep 0.01; done
}
stop_bare() { kill "$BPID"; wait "$BPID" 2>/dev/null || true; rm -f "$SOCK"; }

# One measurement: server (helper|bare), then ping_load's arguments; prints answers per second.
measure() {
  local server=$1 out; shift
  if [ "$server" = helper ]; then start_helper; else start_bare; fi
  out=$("$L" "$@") || echo "incomplete run ($server): $out" >&2
  if [ "$server" = helper ]; then stop_helper >/dev/null; else stop_bare; fi
  sed -n 's/.*rate=\([0-9]*\).*/\1/p' <<< "$out"
}

# Prints "min median max" of the numbers on standard input.
spread() { sort -g | awk '{v[NR]=$1} END {printf "%.2f %.2f %.2f\n", v[1], v[int((NR+1)/2)], v[NR]}'; }

printf '%-28s %8s %8s %22s\n' load helper/s bare/s 'ratio min/median/max'
run_load() { # label, ping_load arguments
  local label=$1 h b ratios=() hs=() bs=(); shift
  for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 1 ]; then h=$(measure helper "$@"); b=$(measure bare "$@")
    else b=$(measure bare "$@"); h=$(measure helper "$@"); fi
    hs+=("$h"); bs+=("$b")
    ratios+=("$(awk -v h="$h" -v b="$b" 'BEGIN {printf "%.4f", (b > 0 ? h / b : 0)}')")
  done
  read -r _ hm _ < <(printf '%s\n' "${hs[@]}" | spread)
  read -r _ bm _ < <(printf '%s\n' "${bs[@]}" | spread)
  printf '%-28s %8.0f %8.0f %22s\n' "$label" "$hm" "$bm" \
    "$(printf '%s\n' "${ratios[@]}" | spread | tr ' ' /)"
}
run_load "1 connection, depth 1" 1 1 "${PING_ROUNDS_1:-20000}" 1
run_load "1 connection, depth 32" 1 32 "${PING_ROUNDS_32:-2000}" 1
run_load "256 connections, depth 1" 256 1 "${PING_ROUNDS_256:-100}" "$uids"
run_load "1000 connections, depth 1" 1000 1 "${PING_ROUNDS_1000:-30}" "$uids"
echo "($pairs interleaved pairs; answers/s are medians; ratio = helper / bare per pair;" \
  "256 and 1000 connections spread over $uids users; connect and client check included)"
