#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A long fuzzing campaign: every libFuzzer target in turn (one process at a time, at low
# priority), inside the sandbox, against the clang ASan+UBSan build in build-fuzz.
#   scripts/fuzz.sh [RUNS_PER_TARGET] [TARGET...]     (default 10000000 runs, every target)
# FUZZ_MAX_SECONDS, if set, also bounds each target's time; a target stopped with SIGINT counts
# as interrupted, and the next one starts. The grown corpora stay in
# build-fuzz/fuzz/campaign/<target>/corpus, logs and any crash reproducers next to them.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then exec sudo bash "$0" "$@"; fi
runs=${1:-10000000}; shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(path_rules process_request signed_file)

export CC=clang-14 CXX=clang++-14
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_FUZZERS=ON \
  -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF >/dev/null
nice -n 10 ninja -C build-fuzz -j1 "${targets[@]/%/_fuzzer}"

out=$PWD/build-fuzz/fuzz/campaign
for t in "${targets[@]}"; do mkdir -p "$out/$t/corpus"; done
SANDBOX_BWRAP_ARGS="--bind $out $out" scripts/sandbox.sh build-fuzz -- bash -c '
  out=$1 runs=$2; shift 2
  export ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  status=0
  for t in "$@"; do
    seeds=()
    for d in "$SRC/fuzz/corpus/$t" "$BUILD/fuzz/corpus/$t"; do [ -d "$d" ] && seeds+=("$d"); done
    cd "$out/$t"
    if nice -n 15 "$BUILD/fuzz/${t}_fuzzer" -runs="$runs" -max_len=4096 \
        ${FUZZ_MAX_SECONDS:+-max_total_time=$FUZZ_MAX_SECONDS} -print_final_stats=1 \
        -artifact_prefix="$out/$t/" corpus "${seeds[@]}" > log 2>&1; then
      result=ok
    elif grep -q "run interrupted" log; then
      result=interrupted
    else
      result="FAILED (reproducer in $out/$t/, see $out/$t/log)"; status=1
    fi
    printf "%-16s %s: %s\n" "$t" "$result" "$(grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" log | tr "\n" " ")"
  done
  exit $status' _ "$out" "$runs" "${targets[@]}"
