#!/bin/sh
# What one viewer slot handed to a media stack costs on the machine that
# serves the further viewers: ffmpeg remuxing the video into HLS without
# re-encoding (-c copy), fed through the relay and `relay-probe --out -`,
# against the same remux reading the encoder's UDP itself, the least a remux
# of that stream can cost (the baseline). The two take turns, run after run,
# at a few bitrates of MPEG-TS and of raw H.264; then, both ways at once from
# one encoder, how long after a frame is made its HLS segment is listed.
#
#   sh bench/remux.sh                          # 3 rounds of 20 s (about 15 minutes)
#   sh bench/remux.sh --rounds 5 --seconds 30  # longer
#
# The encoder in the CPU runs is ffmpeg sending a clip made once (test pattern
# with noise, 1280x720, 25 frames/s, a key frame a second, constant bitrate)
# at its own pace (-re), so that encoding costs nothing during the runs. In the
# latency run it is the live test pattern of "see it work", whose timestamps
# are the wall clock (setpts=RTCTIME), so a segment's timestamps tell when its
# frames were made; the remuxes keep them (-copyts -muxdelay 0).
# Everything runs in a network namespace of its own (the ports are fixed).
# Clips, segments and logs go to build-bench/remux/.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

rounds=3
seconds=20
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: sh bench/remux.sh [--rounds N] [--seconds S]" >&2; exit 2 ;;
  esac
done
bin=$(pwd)/build-bench
work=$bin/remux
# Bitrates in Mbit/s, with the container the encoder sends.
configs="ts:1 ts:4 ts:8 h264:4"

if [ -z "${REMUX_BENCH_NAMESPACE:-}" ]; then
  need_build_packages
  need_packages ffmpeg
  build_into build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  mkdir -p "$work"
  for rate in 1 4 8; do
    clip=$work/clip-${rate}M-$((seconds + 15))s.ts
    [ -s "$clip" ] || ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 \
      -t $((seconds + 15)) -vf noise=alls=12:allf=t -pix_fmt yuv420p -c:v libx264 -preset ultrafast \
      -tune zerolatency -g 25 -b:v ${rate}M -maxrate ${rate}M -bufsize ${rate}M -x264-params nal-hrd=cbr \
      -f mpegts "$clip"
    # The raw H.264 in it, only to know its bitrate.
    [ -s "${clip%.ts}.h264" ] || ffmpeg -nostdin -loglevel error -y -i "$clip" -c copy -f h264 "${clip%.ts}.h264"
  done
  exec env REMUX_BENCH_NAMESPACE=1 unshare -n sh "$0" --rounds "$rounds" --seconds "$seconds"
fi
ip link set lo up
results=$work/results-$(date -u +%Y%m%dT%H%M%SZ).txt
: >"$results"

# Waits for a line in a file; the bound is only against a hang.
await() {
  tries=0
  until grep -qs "$2" "$1"; do
    tries=$((tries + 1))
    [ $tries -lt 600 ] || { echo "nothing like \"$2\" in $1 after 60 s" >&2; exit 1; }
    sleep 0.1
  done
}

# CPU time of a process, all its threads, in nanoseconds (%.0f: mawk's %d stops at 2^31, about 2 s).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%.0f\n", ns }'; }

# Ends the processes and waits for them, killing any that hang on a silent socket.
stop() {
  for p in "$@"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "$@"; do
    tries=0
    while kill -0 "$p" 2>/dev/null && [ $tries -lt 100 ]; do tries=$((tries + 1)); sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
}

input_options() { if [ "$1" = ts ]; then echo "-f mpegts"; else echo "-fflags +genpts -f h264 -framerate 25"; fi; }
mbits() { echo "$(stat -c %s "$1") $((seconds + 15))" | awk '{ printf "%.3f", $1 * 8 / $2 / 1e6 }'; }

# Starts the relay and a probe writing into the named pipe $dir/payloads; sets relay and probe.
start_relay_and_probe() {
  "$bin/relay/stream-relay" >"$dir/relay.log" 2>&1 &
  relay=$!
  await "$dir/relay.log" "^Init device discovery"
  mkfifo "$dir/payloads"
  "$bin/tools/relay-probe/relay-probe" --out - 127.0.0.1 >"$dir/payloads" 2>"$dir/probe.log" &
  probe=$!
}

# run ROUND PATH FORMAT RATE: one measured run; PATH relay (relay, probe, pipe) or direct (the baseline).
run() {
  round=$1 path=$2 format=$3 rate=$4
  dir=$work/$path-$format-$rate
  rm -rf "$dir" && mkdir -p "$dir"
  relay="" probe="" input=udp://127.0.0.1:5001 port=5001 feed=/dev/null
  if [ "$path" = relay ]; then
    start_relay_and_probe
    input=- port=5000 feed=$dir/payloads
  fi
  # shellcheck disable=SC2046
  ffmpeg -nostdin -loglevel error $(input_options "$format") -i "$input" -c copy -f hls -hls_time 1 -hls_list_size 6 \
    -hls_flags delete_segments "$dir/stream.m3u8" <"$feed" 2>"$dir/remux.log" &
  remux=$!
  clip=$work/clip-${rate}M-$((seconds + 15))s.ts
  ffmpeg -nostdin -loglevel error -re -i "$clip" -c copy -f "$(echo "$format" | sed s/ts/mpegts/)" \
    "udp://127.0.0.1:$port?pkt_size=1316" 2>"$dir/sender.log" &
  sender=$!
  # From the first segment on, the remux is past analysing the stream.
  await "$dir/stream.m3u8" '\.ts$'
  remux0=$(cpu_ns "$remux") probe0=$([ -z "$probe" ] || cpu_ns "$probe")
  sleep "$seconds"
  remux1=$(cpu_ns "$remux") probe1=$([ -z "$probe" ] || cpu_ns "$probe")
  kill -0 "$sender" || { echo "the clip ended before the run did" >&2; exit 1; }
  stop $probe
  stop "$remux" "$sender" $relay
  if [ -n "$probe" ]; then
    lost=$(sed -n 's/^ *lost \([0-9]*\) .*/\1/p' "$dir/probe.log")
    dropped=$(sed -n 's/^ *output dropped \([0-9]*\) datagrams.*/\1/p' "$dir/probe.log")
  else lost=- dropped=-; fi
  [ "$format" = ts ] && source=$clip || source=${clip%.ts}.h264
  echo "result round=$round path=$path format=$format mbits=$(mbits "$source") seconds=$seconds" \
    "remux_ns=$((remux1 - remux0)) probe_ns=$(( ${probe1:-0} - ${probe0:-0} )) lost=$lost dropped=$dropped" |
    tee -a "$results"
}

round=1
while [ "$round" -le "$rounds" ]; do
  for config in $configs; do
    for path in relay direct; do run "$round" "$path" "${config%:*}" "${config#*:}"; done
  done
  round=$((round + 1))
done

# The median of the numbers in a space-separated list, for the tables below.
median='
  function median(list,   n, v, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }'
echo
echo "CPU per second of video, median of $rounds rounds; ratios taken round by round, then their median;"
echo "a round in which the probe lost or dropped a datagram is left out, both its runs (last column: how many):"
awk "$median"'
  { for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
  {
    key = f["format"] " " f["mbits"]
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
    ms = f["remux_ns"] / 1e6 / f["seconds"]
    if (f["path"] == "direct") base[key, f["round"]] = ms
    else { alone[key, f["round"]] = ms; probe[key, f["round"]] = f["probe_ns"] / 1e6 / f["seconds"]
           if (f["lost"] + f["dropped"] > 0) lossy[key, f["round"]] = 1 }
  }
  END {
    printf "%-5s %7s | %-23s | %-23s | %-12s | %-11s %-11s | %s\n", "input", "Mbit/s", "remux direct (baseline)",
      "remux behind the probe", "probe", "remux/base", "+probe/base", "rounds left out"
    for (k = 1; k <= keys; k++) {
      key = order[k]; split(key, p, " ")
      direct = ""; remux = ""; probes = ""; r1 = ""; r2 = ""; out = 0
      for (r = 1; r <= 1000; r++) if ((key, r) in base && (key, r) in alone) {
        if ((key, r) in lossy) { out++; continue }
        direct = direct " " base[key, r]; remux = remux " " alone[key, r]; probes = probes " " probe[key, r]
        r1 = r1 " " alone[key, r] / base[key, r]; r2 = r2 " " (alone[key, r] + probe[key, r]) / base[key, r] }
      if (direct == "") { printf "%-5s %7.2f | every round lost or dropped datagrams | %d\n", p[1], p[2], out; continue }
      d = median(direct); m = median(remux); q = median(probes)
      printf "%-5s %7.2f | %6.2f ms (%5.2f/Mbit) | %6.2f ms (%5.2f/Mbit) | %5.2f ms     | %-11.2f %-11.2f | %d\n",
        p[1], p[2], d, d / p[2], m, m / p[2], q, median(r1), median(r2), out
    }
  }' "$results"
echo "(ms: CPU milliseconds per second of video, all threads; /Mbit: the same per Mbit/s of the input)"

# The latency run: one live encoder, both ways at once (the tee muxer sends each datagram to both).
dir=$work/latency
rm -rf "$dir" && mkdir -p "$dir/relay" "$dir/direct"
start_relay_and_probe
hls="-c copy -muxdelay 0 -f hls -hls_time 1 -hls_list_size 0"
# shellcheck disable=SC2086
ffmpeg -nostdin -loglevel error -copyts -f mpegts -i - $hls "$dir/relay/stream.m3u8" <"$dir/payloads" 2>"$dir/remux.log" &
remux=$!
# shellcheck disable=SC2086
ffmpeg -nostdin -loglevel error -copyts -f mpegts -i udp://127.0.0.1:5001 $hls "$dir/direct/stream.m3u8" \
  </dev/null 2>"$dir/direct.log" &
direct=$!
ffmpeg -nostdin -loglevel error -re -f lavfi -i testsrc=size=640x360:rate=25 \
  -vf "settb=1/90000,setpts=RTCTIME/(TB*1000000)" -enc_time_base -1 -pix_fmt yuv420p -c:v libx264 -preset ultrafast \
  -tune zerolatency -g 25 -map 0:v -f tee \
  "[f=mpegts:max_delay=0]udp://127.0.0.1:5000?pkt_size=1316|[f=mpegts:max_delay=0]udp://127.0.0.1:5001?pkt_size=1316" \
  2>"$dir/encoder.log" &
encoder=$!
# When each segment is first listed, looked for every 10 ms (the remuxes need a few seconds to start).
relay_seen=0 direct_seen=0
end=$(($(date +%s) + seconds + 10))
while [ "$(date +%s)" -lt "$end" ]; do
  now=$(date +%s.%N)
  for path in relay direct; do
    eval "seen=\$${path}_seen"
    count=$(grep -cs '\.ts$' "$dir/$path/stream.m3u8") || true
    [ "${count:-0}" -gt "$seen" ] || continue
    grep '\.ts$' "$dir/$path/stream.m3u8" | tail -n +$((seen + 1)) | head -n $((count - seen)) |
      sed "s|^|$path $now |" >>"$dir/listed.txt"
    eval "${path}_seen=$count"
  done
  sleep 0.01
done
stop "$encoder" "$probe"
stop "$remux" "$direct" "$relay"
while read -r path listed segment; do
  echo "$path $listed $(ffprobe -v error -show_entries packet=pts_time -of csv=p=0 "$dir/$path/$segment" |
    tr -d , | sed -n '1p;$p' | tr '\n' ' ')"
done <"$dir/listed.txt" >"$dir/latency.txt"
echo
echo "From a frame made by the encoder to its HLS segment listed in the playlist (1 s segments), in ms;"
echo "segments that began after the remux had listed its first one:"
awk "$median"'
  # Timestamps are the wall clock in 33 bits of 90 kHz: the difference modulo that span.
  function since(wall, pts,   span, d) {
    span = 8589934592 / 90000; d = wall - pts; d -= int(d / span) * span
    return d > span / 2 ? d - span : d
  }
  $4 == "" { next }
  {
    path = $1; listed = $2; first = since(listed, $3); last = since(listed, $4)
    if (!(path in start)) start[path] = listed
    if (listed - first <= start[path]) next
    firsts[path] = firsts[path] " " first * 1000; lasts[path] = lasts[path] " " last * 1000; n[path]++
    at[path, $3] = listed
  }
  END {
    printf "%-7s %9s %18s %18s\n", "path", "segments", "first frame p50", "last frame p50"
    for (path in n) printf "%-7s %9d %18.0f %18.0f\n", path, n[path], median(firsts[path]), median(lasts[path])
    for (key in at) { split(key, k, SUBSEP); if (k[1] == "relay" && ("direct", k[2]) in at) added = added " " (at[key] - at["direct", k[2]]) * 1000 }
    printf "the same segment listed behind the relay and probe later than directly: median %.0f ms\n", median(added)
  }' "$dir/latency.txt"
