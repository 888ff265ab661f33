#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The helper's ping path against a bare line server on the same socket path, in one sandbox:
# the two run alternately in interleaved pairs (the order flips every pair), and for each load
# the ratio helper/baseline of answers per second is printed with its min/median/max.
#   bench/run_ping_bench.sh [BUILD_DIR] [PAIRS]        (BUILD_DIR built with BUILD_BENCHMARKS=ON)
# PING_BENCH_UIDS (default 20): how many users the 256 and 1,000 connections are spread over,
# so that the per-user connection cap (64) does not refuse them.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  build=${1:-build}
  exec scripts/sandbox.sh "$build" -- bash "$PWD/bench/run_ping_bench.sh" --inside "${2:-5}" \
    "${PING_BENCH_UIDS:-20}"
fi
pairs=$2 uids=$3
source "$SRC/tests/sandbox/prelude.sh"
L=$BUILD/bench/ping_load

start_bare() {
  "$BUILD/bench/line_server" & BPID=$!
  until [ -S "$SOCK" ]; do sleep 0.01; done
}
stop_bare() { kill "$BPID"; wait "$BPID" 2>/dev/null || true; rm -f "$SOCK"; }

# One measurement: server (helper|bare), then ping_load's arguments; prints the answers per
# second in all and after admission.
measure() {
  local server=$1 out; shift
  if [ "$server" = helper ]; then start_helper; else start_bare; fi
  out=$("$L" "$@") || echo "incomplete run ($server): $out" >&2
  if [ "$server" = helper ]; then stop_helper >/dev/null; else stop_bare; fi
  sed -n 's/.* rate=\([0-9]*\) rate_admitted=\([0-9]*\).*/\1 \2/p' <<< "$out"
}

# Prints "min median max" of the numbers on standard input.
spread() { sort -g | awk '{v[NR]=$1} END {printf "%.2f %.2f %.2f\n", v[1], v[int((NR+1)/2)], v[NR]}'; }

# "min/median/max" of ratio columns: per pair, helper / bare.
ratio() { awk -v h="$1" -v b="$2" 'BEGIN {printf "%.4f", (b > 0 ? h / b : 0)}'; }

printf '%-26s %8s %8s  %-16s %8s %8s  %s\n' load helper/s bare/s ratio helper/s bare/s \
  'ratio after admission'
run_load() { # label, ping_load arguments
  local label=$1 h ha b ba all=() adm=() hs=() bs=() has=() bas=(); shift
  for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 1 ]; then read -r h ha < <(measure helper "$@"); read -r b ba < <(measure bare "$@")
    else read -r b ba < <(measure bare "$@"); read -r h ha < <(measure helper "$@"); fi
    hs+=("$h"); bs+=("$b"); has+=("$ha"); bas+=("$ba")
    all+=("$(ratio "$h" "$b")"); adm+=("$(ratio "$ha" "$ba")")
  done
  med() { printf '%s\n' "$@" | spread | cut -d' ' -f2; }
  printf '%-26s %8.0f %8.0f  %-16s %8.0f %8.0f  %s\n' "$label" "$(med "${hs[@]}")" "$(med "${bs[@]}")" \
    "$(printf '%s\n' "${all[@]}" | spread | tr ' ' /)" "$(med "${has[@]}")" "$(med "${bas[@]}")" \
    "$(printf '%s\n' "${adm[@]}" | spread | tr ' ' /)"
}
run_load "1 connection, depth 1" 1 1 "${PING_ROUNDS_1:-20000}" 1
run_load "1 connection, depth 32" 1 32 "${PING_ROUNDS_32:-20000}" 1
run_load "256 connections, depth 1" 256 1 "${PING_ROUNDS_256:-200}" "$uids"
run_load "1000 connections, depth 1" 1000 1 "${PING_ROUNDS_1000:-50}" "$uids"
echo "($pairs interleaved pairs; answers/s are medians; ratio = helper / bare per pair, in all" \
  "(connecting and client checks included) and after every connection was admitted;" \
  "256 and 1000 connections spread over $uids users)"
