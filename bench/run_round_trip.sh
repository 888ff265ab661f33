#!/usr/bin/env bash
# Runs the round-trip benchmark against the real helper inside the sandbox.
#   bench/run_round_trip.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
exec scripts/sandbox.sh "$build" -- bash -c '
  source "$SRC/tests/sandbox/prelude.sh"
  start_helper
  "$BUILD/bench/round_trip_bench" --benchmark_min_time=1
  stop_helper >/dev/null'
