#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A burst of unsigned connections while a signed client keeps pinging, against the real helper
# in the sandbox. Prints the ping latency without and during the burst, what became of the
# burst's connections, the helper's peak threads, descriptors and RSS, and whether threads and
# descriptors came back to their idle levels afterwards.
#   bench/run_burst_bench.sh [BUILD_DIR] [CONNECTIONS]        (default 10000)
# The burst comes from the attacker (uid 1000), the pings from another user (uid 1001).
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  cd "$(dirname "$0")/.."
  exec scripts/sandbox.sh "${1:-build}" -- bash "$PWD/bench/run_burst_bench.sh" --inside \
    "${2:-10000}"
fi
count=$2
source "$SRC/tests/sandbox/prelude.sh"

# "threads descriptors rss_kib" of the helper now.
sample() {
  local threads rss key value _ fds
  while read -r key value _; do
    case $key in Threads:) threads=$value ;; VmRSS:) rss=$value ;; esac
  done < "/proc/$HPID/status"
  fds=(/proc/"$HPID"/fd/*)
  echo "$threads ${#fds[@]} $rss"
}

# Samples until /tmp/monitor.stop appears; writes the peaks to /tmp/monitor.peak.
monitor() {
  local pt=0 pf=0 pr=0 t f r
  while [ ! -e /tmp/monitor.stop ]; do
    read -r t f r < <(sample) || break
    ((t > pt)) && pt=$t; ((f > pf)) && pf=$f; ((r > pr)) && pr=$r
    sleep 0.01
  done
  echo "$pt $pf $pr" > /tmp/monitor.peak
}

start_helper
chmod 0755 /tmp
as_victim "$BUILD/bench/ping_load" --latency 0.5 >/dev/null  # warm up
sleep 0.2  # its connection thread gone
read -r it if ir < <(sample)
echo "idle:          threads=$it descriptors=$if rss_kib=$ir"
echo "pings alone:   $(as_victim "$BUILD/bench/ping_load" --latency 5)"

monitor & MPID=$!
setpriv --reuid=1001 --regid=1001 --clear-groups "$BUILD/bench/ping_load" --latency 600 \
  > /tmp/pings.out & PPID_=$!
sleep 0.5
as_user "$BUILD/bench/connection_burst" "$count"
sleep 0.5
kill -TERM "$PPID_"; wait "$PPID_" || true
echo "pings, burst:  $(cat /tmp/pings.out)"
touch /tmp/monitor.stop; wait "$MPID"
read -r pt pf pr < /tmp/monitor.peak
hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$HPID/status")
echo "peak:          threads=$pt descriptors=$pf rss_kib=$pr (VmHWM $hwm kiB)"

for i in $(seq 100); do
  read -r t f r < <(sample)
  [ "$t" -le "$it" ] && [ "$f" -le "$if" ] && break
  sleep 0.1
done
echo "after:         threads=$t descriptors=$f rss_kib=$r ($(( (i - 1) * 100 )) ms after the burst;" \
  "idle again: $([ "$t" -le "$it" ] && [ "$f" -le "$if" ] && echo yes || echo NO))"
echo "log lines:     $(wc -l < "$LOG") ($(grep -c 'Rejected connection' "$LOG" || true) refusals)"
stop_helper
