#!/bin/sh
# The README's "see it work" steps, run as the README shows them: the relay from the first command, ffmpeg's
# test pattern as the encoder, relay-probe counting the stream and handing it to ffprobe. Each command below
# must stand in README.md as a line of its own (a trailing comment aside), so that the README cannot drift from what is checked here.
# Then the HLS and WebRTC commands of docs/beyond-ten-viewers.md, as that page shows them, fed by the same relay
# and encoder, with the pages of contrib/browser/ served by nginx and Janus as that page sets them up, each page
# watched in headless Chromium until it plays the pattern.
# ffplay is not run (it needs a display); it reads the same stream as ffprobe.
set -eu
. scripts/lib.sh
install='apt-get install -y ffmpeg'
relay='sh scripts/run-relay.sh'
encoder="ffmpeg -re -f lavfi -i testsrc=size=640x360:rate=25 -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency -g 25 -f mpegts 'udp://127.0.0.1:5000?pkt_size=1316'"
count='build/tools/relay-probe/relay-probe --duration 5 127.0.0.1'
play='build/tools/relay-probe/relay-probe --out - --duration 10 127.0.0.1 | ffprobe -v quiet -show_entries stream=codec_name,width,height -of csv=p=0 -'
for step in "$relay" "$install" "$encoder" "$count" "$play"; do
  sed -E 's/[[:space:]]+#.*$//' README.md | grep -qxF "$step" || { echo "README.md no longer shows: $step"; exit 1; }
done
hls='ffmpeg -f mpegts -i - -c copy -f hls -hls_time 1 -hls_list_size 6 -hls_flags delete_segments stream.m3u8'
webrtc="ffmpeg -f mpegts -i - -c copy -an -f rtp 'rtp://127.0.0.1:5004?pkt_size=1200'"
for step in "$hls" "$webrtc"; do
  grep -qxF "relay-probe --out - BOARD | $step" docs/beyond-ten-viewers.md ||
    { echo "docs/beyond-ten-viewers.md no longer shows: relay-probe --out - BOARD | $step"; exit 1; }
done
need_packages ffmpeg chromium janus libjs-janus-gateway libjs-webrtc-adapter nginx-light
# The ports are fixed, so the steps run in a network namespace of their own.
unshare -n true 2>/dev/null || { echo "SKIP: cannot make a network namespace here"; exit 0; }
out=$PWD/build/see-it-work
mkdir -p "$out"
exec unshare -n sh -eu -c '
out=$1 relay=$2 encoder=$3 count=$4 play=$5 hls=$6 webrtc=$7
ip link set lo up
# Janus offers no candidates on loopback interfaces: a veth pair gives it 127.0.0.2, which stays on this machine.
ip link add see0 type veth peer name see1
ip addr add 127.0.0.2/32 dev see0
ip link set see0 up && ip link set see1 up
# Each program in a session of its own, so that the end takes the relay'"'"'s build or ffmpeg with it.
cleanup() { for p in $pids; do kill -TERM -"$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
trap "exit 1" INT TERM
pids=""
# await WHAT PIDS LOGS COMMAND...: waits until COMMAND succeeds. A process of PIDS that ends first ends the wait
# at once; either way the LOGS are shown. The bound is only against a hang (the relay may still be building).
await() {
  what=$1 watched=$2 logs=$3 tries=0
  shift 3
  until "$@"; do
    for p in $watched; do
      kill -0 "$p" 2>/dev/null || { echo "$what: a process it needs ended first"; show $logs; exit 1; }
    done
    tries=$((tries + 1))
    [ $tries -lt 6000 ] || { echo "$what: not after 600 s"; show $logs; exit 1; }
    sleep 0.1
  done
}
show() { for log in "$@"; do echo "--- $log"; tail -c 3000 "$log"; done; }
setsid sh -c "exec $relay" > "$out/relay.log" 2>&1 & relaypid=$! pids=$!
await "the relay" "$relaypid" "$out/relay.log" grep -qs "^Init device discovery" "$out/relay.log"
setsid sh -c "exec $encoder" < /dev/null > "$out/encoder.log" 2>&1 & pids="$pids $!"
await "the video" "$relaypid $!" "$out/relay.log $out/encoder.log" grep -qs "^video connected" "$out/relay.log"
sh -c "$count" > "$out/count.log" 2>&1 || { cat "$out/count.log"; exit 1; }
cat "$out/count.log"
grep -q "^registered: 127.0.0.1:4242 acknowledged" "$out/count.log" || { echo "relay-probe was not acknowledged"; exit 1; }
received=$(sed -n "s/^summary: received \([0-9]*\) datagrams.*/\1/p" "$out/count.log")
[ "${received:-0}" -gt 0 ] || { echo "relay-probe received nothing"; exit 1; }
stream=$(sh -c "$play" 2> "$out/play.log") || { cat "$out/play.log"; exit 1; }
echo "ffprobe:" $stream
# One line for the stream, one for the program that holds it.
echo "$stream" | grep -qx "h264,640,360" || { echo "ffprobe saw \"$stream\", not h264,640,360"; cat "$out/play.log"; exit 1; }
grep -q "^client connected from 127.0.0.1:" "$out/relay.log" && grep -q "^client 127.0.0.1:[0-9]* removed" "$out/relay.log" ||
  { echo "the relay did not report the viewer coming and going"; cat "$out/relay.log"; exit 1; }
echo "see it work: the relay carried the test pattern to relay-probe and ffprobe"

# Beyond ten viewers: the HLS and the WebRTC pipelines, each holding a viewer place, and the pages that show them.
probe=$PWD/build/tools/relay-probe/relay-probe
mkdir -p "$out/hls" "$out/www" && rm -rf "$out/hls/"* "$out/www/"* "$out/chromium-"*
setsid sh -c "cd $out/hls && $probe --out - 127.0.0.1 | $hls" > "$out/hls.log" 2>&1 & hlspid=$! pids="$pids $!"
setsid sh -c "exec janus -F contrib/browser/janus -o" > "$out/janus.log" 2>&1 & janus=$! pids="$pids $!"
setsid sh -c "$probe --out - 127.0.0.1 | $webrtc" > "$out/webrtc.log" 2>&1 & webrtcpid=$! pids="$pids $!"
# The site as contrib/browser/nginx-site.conf has it, on port 8080 and with this run'"'"'s folders.
ln -s "$PWD/contrib/browser/hls.html" "$PWD/contrib/browser/webrtc.html" "$PWD/contrib/browser/viewer.js" "$out/www/"
ln -s "$out/hls" "$out/www/live"
sed -e "s|listen 80 default_server;|listen 127.0.0.1:8080;|" -e "/listen \[::\]/d" -e "s|root /var/www/html;|root $out/www;|" \
  contrib/browser/nginx-site.conf > "$out/nginx-site.conf"
printf "%s\n" "user root;" "daemon off;" "pid $out/nginx.pid;" "error_log $out/nginx.log;" "events {}" \
  "http { include /etc/nginx/mime.types; access_log $out/access.log; include $out/nginx-site.conf; }" > "$out/nginx.conf"
: > "$out/access.log"
setsid nginx -c "$out/nginx.conf" > "$out/nginx.log" 2>&1 & nginx=$! pids="$pids $!"
# A browser for each page; it reports what it plays to the server once a second (?report).
for page in hls webrtc; do
  mkdir -p "$out/chromium-$page"
  HOME=$out/chromium-$page setsid chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$out/chromium-$page" \
    "http://127.0.0.1:8080/$page.html?report" > "$out/chromium-$page.log" 2>&1 & pids="$pids $!"
  eval "${page}browser=\$!"
done
await "the HLS playlist" "$hlspid" "$out/hls.log" grep -qs "^stream2\.ts$" "$out/hls/stream.m3u8"
segment=$(grep "\.ts$" "$out/hls/stream.m3u8" | head -n 1)
stream=$(ffprobe -v quiet -show_entries stream=codec_name,width,height -of csv=p=0 "$out/hls/$segment" | head -n 1)
[ "$stream" = "h264,640,360" ] || { echo "HLS segment $segment: ffprobe saw \"$stream\""; cat "$out/hls.log"; exit 1; }
echo "beyond ten viewers: the probe fed ffmpeg an HLS playlist of H.264 640x360 segments"
# playing LEG: the page reported the pattern'"'"'s size, and since its first report of it, its time two seconds on
# and a second of frames more shown (a video that froze keeps its time running on a WebRTC stream).
playing() {
  sed -n "s/.*GET \/report?leg=$1&t=\([0-9.]*\)&w=640&h=360&.*&frames=\([0-9]*\) .*/\1 \2/p" "$out/access.log" |
    awk "NR == 1 { t = \$1; f = \$2 } \$1 >= t + 2 && \$2 >= f + 25 { found = 1 } END { exit !found }"
}
await "the HLS page in Chromium" "$hlspid $nginx $hlsbrowser" "$out/hls.log $out/chromium-hls.log $out/access.log" \
  playing hls-native
echo "beyond ten viewers: Chromium plays the HLS page, 640x360, its time and frames advancing"
await "the WebRTC page in Chromium" "$webrtcpid $janus $nginx $webrtcbrowser" \
  "$out/webrtc.log $out/janus.log $out/chromium-webrtc.log $out/access.log" playing webrtc
echo "beyond ten viewers: Chromium plays the WebRTC page through Janus, 640x360, its time and frames advancing"
' see-it-work "$out" "$relay" "$encoder" "$count" "$play" "$hls" "$webrtc"
