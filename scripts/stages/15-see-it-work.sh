#!/bin/sh
# The README's "see it work" steps, run as the README shows them: the relay from the first command, ffmpeg's
# test pattern as the encoder, relay-probe counting the stream and handing it to ffprobe. Each command below
# must stand in README.md as a line of its own (a trailing comment aside), so that the README cannot drift from what is checked here.
# Then the HLS command of docs/beyond-ten-viewers.md, as that page shows it, fed by the same relay and encoder.
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
grep -qxF "relay-probe --out - BOARD | $hls" docs/beyond-ten-viewers.md ||
  { echo "docs/beyond-ten-viewers.md no longer shows: relay-probe --out - BOARD | $hls"; exit 1; }
need_packages ffmpeg
# The ports are fixed, so the steps run in a network namespace of their own.
unshare -n true 2>/dev/null || { echo "SKIP: cannot make a network namespace here"; exit 0; }
out=build/see-it-work
mkdir -p "$out"
exec unshare -n sh -eu -c '
out=$1 relay=$2 encoder=$3 count=$4 play=$5 hls=$6
ip link set lo up
# Each program in a session of its own, so that the end takes the relay'"'"'s build or ffmpeg with it.
cleanup() { for p in $pids; do kill -TERM -"$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
pids=""
# Waits for a line in a log; the bound is only against a hang (the relay may still be building).
await() {
  tries=0
  until grep -qs "$2" "$1"; do
    tries=$((tries + 1))
    [ $tries -lt 6000 ] || { echo "nothing like \"$2\" after 600 s"; cat "$out/relay.log"; tail -c 2000 "$out/encoder.log"; exit 1; }
    sleep 0.1
  done
}
setsid sh -c "exec $relay" > "$out/relay.log" 2>&1 & pids=$!
await "$out/relay.log" "^Init device discovery"
setsid sh -c "exec $encoder" < /dev/null > "$out/encoder.log" 2>&1 & pids="$pids $!"
await "$out/relay.log" "^video connected"
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
# HLS: three segments listed, then the pipeline stopped, so that the playlist is final and its segments kept.
mkdir -p "$out/hls" && rm -f "$out/hls/"*
setsid sh -c "cd $out/hls && $PWD/build/tools/relay-probe/relay-probe --out - 127.0.0.1 | $hls" > "$out/hls.log" 2>&1 &
hlspid=$! pids="$pids $!"
await "$out/hls/stream.m3u8" "^stream2\.ts$"
kill -TERM -"$hlspid"; wait "$hlspid" 2>/dev/null || true
segment=$(grep "\.ts$" "$out/hls/stream.m3u8" | head -n 1)
stream=$(ffprobe -v quiet -show_entries stream=codec_name,width,height -of csv=p=0 "$out/hls/$segment" | head -n 1)
[ "$stream" = "h264,640,360" ] || { echo "HLS segment $segment: ffprobe saw \"$stream\""; cat "$out/hls.log"; exit 1; }
echo "beyond ten viewers: the probe fed ffmpeg an HLS playlist of H.264 640x360 segments"
' see-it-work "$out" "$relay" "$encoder" "$count" "$play" "$hls"
