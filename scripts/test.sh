#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and runs the whole test suite: installs what is missing, then
#   1. g++ build: unit, file-system and sandbox tests; then programs outside the tree built
#      against its installed client library, signed, pinging and copying through the helper
#   2. clang build with AddressSanitizer + UndefinedBehaviorSanitizer: the same suite
#   3. clang build with ThreadSanitizer: the concurrency tests (socket server, queues, sandbox)
#   4. the libFuzzer targets for a fixed number of runs, inside the sandbox
#   5. packagers' build: g++ Release with Debian's hardening flags and the benchmarks,
#      warning-free under -Werror; its unit and packaging tests (stripped staged install,
#      signatures, systemd units, uninstall); then the README's Release build of the installed
#      programs, checked with hardening-check
#   6. the macOS compile check: every source of a macOS build, arm64 and x86_64, against Apple's
#      headers (scripts/macos-check.sh)
# Usage: scripts/test.sh [--quick]   (--quick: step 1 only)
set -euo pipefail
cd "$(dirname "$0")/.."
# The sandbox tests act as root against an unprivileged user, so the suite runs as root.
if [ "$(id -u)" -ne 0 ]; then exec sudo bash "$0" "$@"; fi
scripts/install-deps.sh

jobs=$(nproc)
configure() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBARA_WERROR=ON "$@" >/dev/null
}
section() { printf '\n=== %s ===\n' "$*"; }

section "g++ build and tests"
configure build
ninja -C build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

section "Client library outside the tree: C with pkg-config, C++17 with CMake, against the helper"
tests/install/consumer_test.sh build
[ "${1:-}" = --quick ] && exit 0

export CC=clang-14 CXX=clang++-14
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

section "AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF
ninja -C build-asan -j "$jobs"
# The torture round judges memory against its idle level, which the sanitizer's quarantine
# grows, and two client tests judge waiting by the clock: they run in the plain build only.
ctest --test-dir build-asan --output-on-failure -j "$jobs" \
  -E '^torture\.|CommandLineShowsProgressWaitingAndReasons|UsersTakeTurnsOnTheQueue'

section "ThreadSanitizer: concurrency tests"
configure build-tsan -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF
ninja -C build-tsan -j "$jobs" socket_server_test sandbox_test
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  -R 'SocketServer|SerialQueue|Lifecycle|Connection|EndToEnd'

section "Fuzzers (fixed runs, in the sandbox)"
configure build-fuzz -DBUILD_FUZZERS=ON -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF
ninja -C build-fuzz -j "$jobs" process_request_fuzzer path_rules_fuzzer signed_file_fuzzer
scripts/sandbox.sh build-fuzz -- bash -c '
  set -eo pipefail; cd /tmp
  for f in path_rules process_request signed_file; do
    mkdir "work-$f"
    # the signed_file seeds are signed at build time with the identity of that build
    seeds=()
    for d in "$SRC/fuzz/corpus/$f" "$BUILD/fuzz/corpus/$f"; do [ -d "$d" ] && seeds+=("$d"); done
    runs=300000
    [ "$f" = signed_file ] && runs=50000  # each run verifies a CMS signature: about as long
    "$BUILD/fuzz/${f}_fuzzer" -runs=$runs -max_len=4096 "work-$f" "${seeds[@]}" 2>&1 | tail -n 1
  done'
echo "fuzzers: 3 passed, 0 failed"

section "Packagers' build: Release, Debian hardening flags, -Werror"
(
  export CC=gcc CXX=g++
  export CPPFLAGS CFLAGS CXXFLAGS LDFLAGS
  CPPFLAGS=$(dpkg-buildflags --get CPPFLAGS)
  CFLAGS="$(dpkg-buildflags --get CFLAGS) $CPPFLAGS"
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
  LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBARA_WERROR=ON \
    -DBUILD_BENCHMARKS=ON >/dev/null
  ninja -C build-release -j "$jobs"
  ctest --test-dir build-release --output-on-failure -j "$jobs" -L unit
  ctest --test-dir build-release --output-on-failure -j "$jobs" -R '^packaging\.'
)
# The README's install lines, no distribution flags: the build's own hardening must hold.
cmake -S . -B build-readme -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF >/dev/null 2>&1
ninja -C build-readme -j "$jobs" com.corvellan.nimbara.helper nimbara-helper-client nimbara-codesign
python3 tests/install/packaging_test.py hardening . build-readme
echo "hardening-check: helper, client and nimbara-codesign of the README's build pass"

section "macOS compile check (arm64, x86_64)"
MACOS_CHECK_JOBS=$jobs bash scripts/macos-check.sh
