#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The cost of admitting a connection (connect, client check, one ping) in two builds of the
# helper, e.g. before and after a change to the check, in one sandbox: the two run alternately
# in interleaved pairs (the order flips every pair); each run admits CONNECTIONS connections
# spread over USERS processes of as many users (at most 4 checks run at once, 1 per user; the
# default, one connection per process, is what a client does). Prints the admission time and the
# helper's processor time per connection of each build and the ratios B/A per pair.
#   bench/run_check_bench.sh BUILD_A BUILD_B [PAIRS] [CONNECTIONS] [USERS]
#   (both built with BUILD_BENCHMARKS=ON; defaults 5, 400, CONNECTIONS)
# Each build's own ping_load is used, signed by that build's identity.
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  a=$(cd "$1" && pwd) b=$(cd "$2" && pwd)
  SANDBOX_BWRAP_ARGS="--ro-bind $a $a" exec scripts/sandbox.sh "$b" -- \
    bash "$PWD/bench/run_check_bench.sh" --inside "$a" "$b" "${3:-5}" "${4:-400}" "${5:-${4:-400}}"
fi
A=$2 B=$3 pairs=$4 connections=$5 users=$6
source "$SRC/tests/sandbox/prelude.sh"

# Seconds per admitted connection, and the helper's processor seconds per connection (user and
# system, from /proc), with the helper and ping_load of build $1.
measure() {
  H=$1/helper/com.corvellan.nimbara.helper start_helper >/dev/null
  local out cpu hz; out=$("$1/bench/ping_load" "$connections" 1 1 "$users")
  hz=$(getconf CLK_TCK)
  cpu=$(awk -v hz="$hz" '{print ($14 + $15) / hz}' "/proc/$HPID/stat")
  stop_helper >/dev/null
  sed -n 's/.* admission_seconds=\([0-9.]*\) .*/\1/p' <<< "$out" |
    awk -v n="$connections" -v cpu="$cpu" '{printf "%.6f %.6f\n", $1 / n, cpu / n}'
}
spread() { sort -g | awk '{v[NR]=$1} END {printf "%.3f/%.3f/%.3f", v[1], v[int((NR+1)/2)], v[NR]}'; }
as=() bs=() ratios=() acpu=() bcpu=() cratios=()
for i in $(seq "$pairs"); do
  if [ $((i % 2)) = 1 ]; then read -r x xc < <(measure "$A"); read -r y yc < <(measure "$B")
  else read -r y yc < <(measure "$B"); read -r x xc < <(measure "$A"); fi
  as+=("$x"); bs+=("$y"); acpu+=("$xc"); bcpu+=("$yc")
  ratios+=("$(awk -v a="$x" -v b="$y" 'BEGIN {printf "%.4f", b / a}')")
  cratios+=("$(awk -v a="$xc" -v b="$yc" 'BEGIN {printf "%.4f", (a > 0 ? b / a : 0)}')")
done
ms() { printf '%s\n' "$@" | awk '{printf "%.3f\n", $1 * 1000}' | spread; }
echo "admission per connection, ms (min/median/max): A $(ms "${as[@]}")  B $(ms "${bs[@]}")"
echo "ratio B/A per pair (min/median/max): $(printf '%s\n' "${ratios[@]}" | spread)"
echo "helper processor time per connection, ms: A $(ms "${acpu[@]}")  B $(ms "${bcpu[@]}")"
echo "ratio B/A per pair (min/median/max): $(printf '%s\n' "${cratios[@]}" | spread)"
echo "($pairs interleaved pairs of $connections connections over $users users)"
