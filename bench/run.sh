#!/bin/sh
# The relay benchmark: the relay, the floor (bench-floor) and GStreamer's
# udpsrc ! multiudpsink under the same load, alternating run by run, each run
# in a network namespace of its own; then the table with min / median / max
# and the ratios relay/floor and relay/gstreamer.
#
#   sh bench/run.sh           # 3 rounds: paced 2000/s for 30 s, closed loop 5 s (about 6 minutes)
#   sh bench/run.sh --full    # 5 rounds: also paced 10000/s, closed loop 20 s (about 25 minutes)
#   sh bench/run.sh --plain   # without the priority and the CPU pinning below
#
# Each run keeps the load program and the program under test (relay, floor
# or GStreamer alike) on one CPU, the last, under SCHED_FIFO where the
# machine allows it: the program under test at priority 10, the load program
# below it at 5. Other work on a shared machine then neither preempts them
# nor decides on which CPU the viewers' wake-ups land, so the figures
# reflect the program, not the neighbours. (At normal priority a pinned
# load program was starved for seconds at a time, and the relay rightly
# dropped its silent viewers.)
#
# Raw result lines and the programs' console output go to build-bench/results/.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

rounds=3
loads="paced:2000:30 closed:32:5"
priority="chrt -f 10"
pinning="taskset -c $(($(nproc) - 1)) chrt -f 5"
for option in "$@"; do
  case $option in
    --full) rounds=5; loads="paced:2000:30 paced:10000:30 closed:32:20" ;;
    --plain) priority=""; pinning="" ;;
    *) echo "usage: sh bench/run.sh [--full] [--plain]" >&2; exit 2 ;;
  esac
done
if [ -n "$priority" ] && ! $priority true 2>/dev/null; then
  echo "SCHED_FIFO not permitted here; running at normal priority on any CPU" >&2
  priority=""; pinning=""
fi

need_build_packages
need_packages gstreamer1.0-tools gstreamer1.0-plugins-good
build_into build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null

bin=$(pwd)/build-bench
out=$bin/results
mkdir -p "$out"
results=$out/results-$(date -u +%Y%m%dT%H%M%SZ).txt
: >"$results"

viewers=""
for port in 7001 7002 7003 7004 7005 7006 7007 7008 7009 7010; do
  viewers="${viewers:+$viewers,}127.0.0.1:$port"
done
# Builds GStreamer's plugin registry now, not inside a measured run.
gst-inspect-1.0 multiudpsink >/dev/null

# run ROUND PROGRAM MODE RATE_OR_BURST SECONDS
run() {
  round=$1 program=$2 mode=$3 amount=$4 seconds=$5
  if [ "$mode" = paced ]; then shape="--rate $amount"; else shape="--burst $amount"; fi
  # shellcheck disable=SC2086
  case $program in
    relay) offset=12; set -- $priority "$bin/relay/stream-relay" ;;
    floor) offset=12; set -- $priority "$bin/bench/bench-floor" 7001 10 ;;
    gstreamer) offset=0; set -- $priority gst-launch-1.0 -q udpsrc address=127.0.0.1 port=5000 buffer-size=600000 \
      ! multiudpsink "clients=$viewers" sync=false async=false ;;
  esac
  echo "round $round: $program, $mode $amount, $seconds s${pinning:+, $pinning}${priority:+, $priority}" >&2
  # shellcheck disable=SC2086
  $pinning unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$bin/bench/bench-load" --program "$program" \
    --load "$mode" $shape --seconds "$seconds" --offset "$offset" --round "$round" \
    --log "$out/$program.log" -- "$@" | tee -a "$results" >&2
}

round=1
while [ "$round" -le "$rounds" ]; do
  for load in $loads; do
    mode=${load%%:*}; rest=${load#*:}; amount=${rest%%:*}; seconds=${rest#*:}
    for program in relay floor gstreamer; do
      run "$round" "$program" "$mode" "$amount" "$seconds"
    done
  done
  round=$((round + 1))
done

echo "results: $results"
"$bin/bench/bench-table" paced-2000 <"$results"
