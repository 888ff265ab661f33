#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The helper's copy and remove against `cp -a` and `rm -rf`, on tmpfs and on the work disk.
#   bench/run_bundle_bench.sh [BUILD_DIR] [ROUNDS] [flush]  (run as root; default build, 7 rounds)
# tmpfs is a fresh folder in /dev/shm; the work disk is BUILD_DIR/bench-work. With "flush": the
# cost of durable swaps instead, the copy with one syncfs and with an fsync per item against the
# same copy without a flush.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build} rounds=${2:-7}
shm=$(mktemp -d /dev/shm/nimbara-bench.XXXXXX)
trap 'rm -rf "$shm"' EXIT
mkdir -p "$build/bench-work"
chmod 0755 "$shm" "$build/bench-work"
echo "file systems: $(stat -f -c %T "$shm") ($shm), $(stat -f -c %T "$build/bench-work") ($build/bench-work)"
bench=bundle_ops_bench
[ "${3:-}" = flush ] && bench=bundle_flush_bench
"$build/bench/$bench" "$rounds" "$shm" "$build/bench-work"
