#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The helper's copy and remove against `cp -a` and `rm -rf`, on tmpfs and on the work disk.
#   bench/run_bundle_bench.sh [BUILD_DIR] [ROUNDS]      (run as root; default build, 7 rounds)
# tmpfs is a fresh folder in /dev/shm; the work disk is BUILD_DIR/bench-work.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build} rounds=${2:-7}
shm=$(mktemp -d /dev/shm/nimbara-bench.XXXXXX)
trap 'rm -rf "$shm"' EXIT
mkdir -p "$build/bench-work"
chmod 0755 "$shm" "$build/bench-work"
echo "file systems: $(stat -f -c %T "$shm") ($shm), $(stat -f -c %T "$build/bench-work") ($build/bench-work)"
"$build/bench/bundle_ops_bench" "$rounds" "$shm" "$build/bench-work"
