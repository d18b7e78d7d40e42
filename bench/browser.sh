#!/bin/sh
# How far behind real time a browser viewer plays, behind the relay and one viewer place handed to a media
# stack (docs/beyond-ten-viewers.md): WebRTC through Janus, and HLS at the page's settings and at the
# lower-latency ones, in headless Chromium, natively and with hls.js. The encoder's camera is bench-clock, which
# draws the wall clock into every frame; the pages (contrib/browser/, opened with ?report&clock) read it back
# from a canvas once a second and report now minus that clock to the web server, whose access log keeps it.
# The baseline, run beside each browser: a viewer without a browser (relay-probe --out - into ffmpeg, decoded,
# the clock read from each frame by bench-clock --read). Then what Janus costs per WebRTC viewer.
#
#   sh bench/browser.sh                          # 30 s a run, 4 viewers for Janus's cost (about 6 minutes)
#   sh bench/browser.sh --seconds 60 --viewers 6
#   sh bench/browser.sh --runs webrtc,janus         # some of the runs: webrtc, hls-native, hls-hlsjs,
#                                                   # hls-hlsjs-low, hls-hlsjs-low2, hls-native-low, janus
#
# Everything runs in a network namespace of its own (the ports are fixed), with a veth pair giving Janus an
# address that is not on a loopback interface (127.0.0.2). Logs and raw reports go to build-bench/browser/.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=30
viewers=4
runs=webrtc,hls-native,hls-hlsjs,hls-hlsjs-low,hls-hlsjs-low2,hls-native-low,janus
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --viewers) viewers=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: sh bench/browser.sh [--seconds S] [--viewers N] [--runs LIST]" >&2; exit 2 ;;
  esac
done
bin=$(pwd)/build-bench
work=$bin/browser

if [ -z "${BROWSER_BENCH_NAMESPACE:-}" ]; then
  need_build_packages
  need_packages ffmpeg chromium janus libjs-janus-gateway libjs-webrtc-adapter nginx-light
  command -v npm >/dev/null || need_packages npm
  build_into build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  mkdir -p "$work/npm"
  clip=$work/clip-4M-$((seconds * 2 + 60))s.ts
  [ -s "$clip" ] || ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -t $((seconds * 2 + 60)) \
    -vf noise=alls=12:allf=t -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency -g 25 -b:v 4M \
    -maxrate 4M -bufsize 4M -x264-params nal-hrd=cbr -f mpegts "$clip"
  # hls.js, for the runs that take it (Chromium plays HLS itself otherwise).
  [ -s "$work/npm/node_modules/hls.js/dist/hls.min.js" ] ||
    npm install --prefix "$work/npm" --no-audit --no-fund --loglevel=error hls.js@1 >/dev/null
  echo "hls.js $(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$work/npm/node_modules/hls.js/package.json" | head -n 1)," \
    "$(chromium --version 2>/dev/null), $(janus --version 2>/dev/null | head -n 1)"
  exec env BROWSER_BENCH_NAMESPACE=1 unshare -n sh "$0" --seconds "$seconds" --viewers "$viewers" --runs "$runs"
fi
ip link set lo up
ip link add bench0 type veth peer name bench1
ip addr add 127.0.0.2/32 dev bench0
ip link set bench0 up && ip link set bench1 up
results=$work/results-$(date -u +%Y%m%dT%H%M%SZ).txt
: >"$results"
probe=$bin/tools/relay-probe/relay-probe
clip=$work/clip-4M-$((seconds * 2 + 60))s.ts
warmup=5
# The documented pipelines (the HLS one run in the HLS folder), and the lower-latency HLS one.
hls='ffmpeg -f mpegts -i - -c copy -f hls -hls_time 1 -hls_list_size 6 -hls_flags delete_segments stream.m3u8'
webrtc="ffmpeg -f mpegts -i - -c copy -an -f rtp 'rtp://127.0.0.1:5004?pkt_size=1200'"
hls_low='ffmpeg -probesize 32 -analyzeduration 0 -f mpegts -i - -c copy -f hls -hls_time 0.5 -hls_list_size 6 -hls_flags delete_segments stream.m3u8'

pids=""
cleanup() { for p in $pids; do kill -TERM -"$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
trap "exit 1" INT TERM
# start LOG COMMAND: runs the shell command in a session of its own (so that stopping it takes its pipeline
# and a browser's children along); sets started. It returns once that session is made: a signal that came
# before would find no session, or be lost on the way to the command.
start() {
  setsid sh -c "$2" >"$1" 2>&1 </dev/null &
  started=$!
  pids="$pids $started"
  until [ "$(sed 's/.*) //' /proc/"$started"/stat 2>/dev/null | cut -d' ' -f4)" = "$started" ]; do
    kill -0 "$started" 2>/dev/null || break
    sleep 0.01
  done
}
stop() { for p in "$@"; do kill -TERM -"$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done; }

# Waits until COMMAND succeeds; the bound is only against a hang.
await() {
  what=$1 tries=0
  shift
  until "$@"; do
    tries=$((tries + 1))
    [ $tries -lt $(((seconds + 120) * 10)) ] || { echo "$what: not after $((seconds + 120)) s" >&2; exit 1; }
    sleep 0.1
  done
}

# CPU time of a process, user and system, in ms (/proc/PID/stat, so that threads that ended still count:
# Janus starts and ends threads as viewers come and go); the wall clock, the same. (In ms, as mawk's %d stops
# at 2^31.)
ticks=$(getconf CLK_TCK)
cpu_ms() { awk -v tick="$ticks" '{ sub(/.*\) /, ""); printf "%d\n", ($12 + $13) * 1000 / tick }' /proc/"$1"/stat; }
wall_ms() { date +%s%3N; }
# CPU ms per second between two readings: ms_per_s CPU0 CPU1 WALL0 WALL1.
ms_per_s() { awk -v c="$(($2 - $1))" -v t="$(($4 - $3))" 'BEGIN { printf "%.2f", c / t * 1000 }'; }

browser() {
  rm -rf "$work/chromium-$1" && mkdir -p "$work/chromium-$1"
  start "$work/chromium-$1.log" "HOME=$work/chromium-$1 exec chromium --headless --no-sandbox --disable-gpu \
    --disable-quic --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir=$work/chromium-$1 '$2'"
}

# The delays the page reported, in ms, once it reads the clock.
reported() { sed -n 's/.*GET \/report?leg=[^&]*&.*&delay=\([0-9-]*\)&.*/\1/p' "$work/access.log"; }
has_samples() { [ "$(reported | grep -c '^[0-9]')" -ge "$1" ]; }
# has_viewers N WxH: N of the pages opened with &viewer=N report that size.
has_viewers() {
  [ "$(sed -n "s/.*&w=${2%x*}&h=${2#*x}&.*\"http:[^\"]*viewer=\([0-9]*\)\".*/\1/p" "$work/access.log" | sort -u | wc -l)" -ge "$1" ]
}

# Whether a run was asked for.
wanted() { case ",$runs," in *",$1,"*) true ;; *) false ;; esac; }

# run NAME SETTING URL: one browser on the page for warm-up plus measured seconds, a baseline viewer beside it.
run() {
  name=$1 setting=$2 url=$3
  wanted "$name" || return 0
  : >"$work/access.log"
  start "$work/$name-baseline.log" "$probe --out - 127.0.0.1 2>/dev/null | ffmpeg -nostdin -loglevel error \
    -fflags nobuffer -probesize 32 -analyzeduration 0 -threads 1 -f mpegts -i - -fps_mode passthrough -f rawvideo -pix_fmt yuv420p - |
    $bin/bench/bench-clock --read"
  baseline=$started
  browser "$name" "http://127.0.0.1:8080/$url"
  page=$started
  await "$name: the page reading the clock" has_samples 1
  await "$name: $seconds s of reports" has_samples $((warmup + seconds))
  stop "$page" "$baseline"
  reported >"$work/$name-delays.txt"
  stats=$(sed -n 's/.*&stalls=\([0-9]*\)&delay=\([0-9]*\)&dropped=\([0-9]*\) .*/\1 \3/p' "$work/access.log" |
    awk -v skip=$warmup 'NR == skip + 1 { s0 = $1; d0 = $2 } { s = $1; d = $2 } END { print s - s0, d - d0 }')
  echo "result run=$name setting=$setting seconds=$seconds" \
    "delays=$(grep '^[0-9]' "$work/$name-delays.txt" | tail -n +$((warmup + 1)) | head -n "$seconds" | paste -sd,)" \
    "unreadable=$(sed -n '/^[0-9]/,$p' "$work/$name-delays.txt" | grep -c '^-' || true) stalls=${stats% *} dropped=${stats#* }" \
    "baseline=$(sed -n 's/^delay //p' "$work/$name-baseline.log" | tail -n +$((warmup + 1)) | paste -sd,)" |
    tee -a "$results"
}

# The site as contrib/browser/nginx-site.conf has it, on port 8080, with this run's folders.
rm -rf "$work/www" "$work/hls" && mkdir -p "$work/www" "$work/hls"
ln -s "$(pwd)/contrib/browser/hls.html" "$(pwd)/contrib/browser/webrtc.html" "$(pwd)/contrib/browser/viewer.js" \
  "$work/npm/node_modules" "$work/www/"
ln -s "$work/hls" "$work/www/live"
sed -e "s|listen 80 default_server;|listen 127.0.0.1:8080;|" -e "/listen \[::\]/d" -e "s|root /var/www/html;|root $work/www;|" \
  contrib/browser/nginx-site.conf >"$work/nginx-site.conf"
printf "%s\n" "user root;" "daemon off;" "pid $work/nginx.pid;" "error_log $work/nginx.log;" "events {}" \
  "http { include /etc/nginx/mime.types; access_log $work/access.log; include $work/nginx-site.conf; }" >"$work/nginx.conf"
start "$work/nginx.log" "exec nginx -c $work/nginx.conf"
start "$work/janus.log" "exec janus -F contrib/browser/janus -o"
janus=$started
start "$work/relay.log" "exec $bin/relay/stream-relay"
await "the relay" grep -qs "^Init device discovery" "$work/relay.log"

# setting NAME KEYFRAMES: the encoder (bench-clock's frames, x264 as in the README's test pattern, a key frame
# every KEYFRAMES frames) and the pipelines of that setting; sets encoder and pipelines.
setting() {
  start "$work/encoder-$1.log" "$bin/bench/bench-clock --write | ffmpeg -nostdin -loglevel error -f rawvideo \
    -pix_fmt yuv420p -s 640x360 -r 25 -i - -c:v libx264 -preset ultrafast -tune zerolatency -g $2 -f mpegts \
    'udp://127.0.0.1:5000?pkt_size=1316'"
  encoder=$started
  rm -f "$work/hls/"*
}

setting page 25
start "$work/hls-page.log" "cd $work/hls && $probe --out - 127.0.0.1 | $hls"
hlspipe=$started
start "$work/webrtc-page.log" "$probe --out - 127.0.0.1 | $webrtc"
webrtcpipe=$started
run webrtc "-g 25" "webrtc.html?report&clock"
run hls-native "-g 25, -hls_time 1" "hls.html?report&clock"
run hls-hlsjs "-g 25, -hls_time 1, hls.js defaults" "hls.html?report&clock&player=hlsjs"
stop "$hlspipe" "$webrtcpipe" "$encoder"

setting low 13
start "$work/hls-low.log" "cd $work/hls && $probe --out - 127.0.0.1 | $hls_low"
hlspipe=$started
run hls-hlsjs-low "-g 13, -hls_time 0.5, probing cut, hls.js liveSyncDuration 1.2" \
  "hls.html?report&clock&player=hlsjs&sync=1.2"
run hls-hlsjs-low2 "-g 13, -hls_time 0.5, probing cut, hls.js liveSyncDuration 2" \
  "hls.html?report&clock&player=hlsjs&sync=2"
run hls-native-low "-g 13, -hls_time 0.5, probing cut" "hls.html?report&clock"
stop "$hlspipe" "$encoder"

# What Janus costs per viewer, at a camera's bitrate: a 1280x720 clip at 4 Mbit/s (made once, sent at its
# own pace), with nobody watching, then with several viewers at once.
if wanted janus; then
  start "$work/encoder-clip.log" "ffmpeg -nostdin -loglevel error -re -i $clip -c copy -f mpegts \
    'udp://127.0.0.1:5000?pkt_size=1316'"
  encoder=$started
  start "$work/webrtc-clip.log" "$probe --out - 127.0.0.1 | $webrtc"
  webrtcpipe=$started
  sleep "$warmup"
  idle0=$(cpu_ms "$janus") t0=$(wall_ms)
  sleep "$seconds"
  idle=$(ms_per_s "$idle0" "$(cpu_ms "$janus")" "$t0" "$(wall_ms)")
  : >"$work/access.log"
  browsers=""
  n=1
  while [ $n -le "$viewers" ]; do
    browser "viewer$n" "http://127.0.0.1:8080/webrtc.html?report&viewer=$n"
    browsers="$browsers $started" n=$((n + 1))
  done
  await "$viewers viewers playing" has_viewers "$viewers" 1280x720
  sleep "$warmup"
  : >"$work/access.log"
  busy0=$(cpu_ms "$janus") t0=$(wall_ms)
  sleep "$seconds"
  busy=$(ms_per_s "$busy0" "$(cpu_ms "$janus")" "$t0" "$(wall_ms)")
  # The frames the viewers' pages showed in that time, per viewer and second: that they all played.
  fps=$(sed -n 's/.*&frames=\([0-9]*\) .*"http:[^"]*viewer=\([0-9]*\)".*/\2 \1/p' "$work/access.log" |
    awk -v s="$seconds" '!($1 in first) { first[$1] = $2 } { last[$1] = $2 }
      END { for (v in first) { sum += last[v] - first[v]; n++ } printf "%.1f", n ? sum / n / s : 0 }')
  echo "result run=janus-viewers viewers=$viewers idle_ms_per_s=$idle janus_ms_per_s=$busy fps=$fps" \
    "mbits=$(tr '\r' '\n' <"$work/webrtc-clip.log" | sed -n 's/.* \([0-9.]*\) Mbit\/s   lost.*/\1/p' | tail -n 1)" |
    tee -a "$results"
  stop $browsers "$webrtcpipe" "$encoder"
fi

# The median of the numbers in a comma-separated list, and the largest.
echo
echo "How far behind real time a viewer plays: now minus the clock in the frame it shows, read once a second"
echo "over $seconds s after $warmup s of warm-up, in ms; the baseline is a viewer without a browser (relay-probe"
echo "into ffmpeg, decoded) at the same moments:"
awk '
  function sorted(list, v,   n, i, j, t) {
    n = split(list, v, ",")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n
  }
  function median(list,   v, n) { n = sorted(list, v); return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
  function worst(list,   v, n) { n = sorted(list, v); return v[n] }
  { delete f; for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] } }
  f["run"] == "janus-viewers" { idle = f["idle_ms_per_s"]; busy = f["janus_ms_per_s"]; n = f["viewers"]; mbits = f["mbits"]; fps = f["fps"] }
  f["delays"] != "" {
    if (!header++) printf "%-15s %7s %6s %6s %7s %10s %9s %8s  %s\n", "run", "samples", "median", "worst", "stalls",
      "baseline", "browser", "browser/", "setting"
    if (!header2++) printf "%-15s %7s %6s %6s %7s %10s %9s %8s\n", "", "", "", "", "", "median", "adds", "baseline"
    m = median(f["delays"]); b = median(f["baseline"])
    setting = $0; sub(/.*setting=/, "", setting); sub(/ seconds=.*/, "", setting)
    printf "%-15s %7d %6.0f %6.0f %7d %10.0f %9.0f %8.1f  %s\n", f["run"], split(f["delays"], v, ","), m,
      worst(f["delays"]), f["stalls"], b, m - b, m / b, setting
  }
  END {
    if (n == "") exit
    printf "\nJanus, CPU ms per second, the stream at %s Mbit/s: %.1f with nobody watching, %.1f with %d viewers", mbits, idle, busy, n
    printf " (each showing %.1f frames/s):\n%.2f ms/s per viewer (%.2f %% of a core)\n", fps, (busy - idle) / n, (busy - idle) / n / 10
  }' "$results"
echo "results: $results"
