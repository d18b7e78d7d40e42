# The benchmark: 10,000-byte transfers to the same gadget phone in the same boot, written once by a bare
# libusb loop and once forwarded by the bridge from UDP datagrams, in alternating rounds. The phone times
# both the same way: over the last batch of BATCH reads of each run, once the run is in its stride and,
# for the bridge, once the sender has finished handing over its datagrams.
. /opt/vm/guest-lib.sh
BATCH=400
PER_RUN=6
RUN=$((PER_RUN * BATCH))
SIZE=10000
ROUNDS=$(sed -n 's/.*tessivar\.rounds=\([0-9]*\).*/\1/p' /proc/cmdline)
ROUNDS=${ROUNDS:-5}
P=/tmp/phone.log

# The bridge's socket gets a buffer for the whole run, so the sender can be done at once and is no load
# during the timed batch (the bridge itself sets no buffer size).
# UDP's memory limits are raised too (in pages), so that backlog never puts UDP under memory pressure.
echo $((96 * 1024 * 1024)) > /proc/sys/net/core/rmem_default
echo "65536 98304 131072" > /proc/sys/net/ipv4/udp_mem

# wait_batches N: until the phone has reported N batches in all
wait_batches() {
  n=600
  while [ "$(grep -c '^phone: bench:' $P)" -lt "$1" ]; do
    n=$((n - 1)); [ "$n" -gt 0 ] || return 1
    sleep 0.2
  done
}

last_rate() { grep '^phone: bench:' $P | tail -n 1 | sed 's/.*: \([0-9.]*\) transfers\/s, \([0-9.]*\) MB\/s$/\1 \2/'; }

start_phone --accessory --bench $BATCH
wait_device 18d1 2d00
batches=0
for round in $(seq $ROUNDS); do
  host-loop $RUN $SIZE >/dev/null
  batches=$((batches + PER_RUN))
  wait_batches $batches || { echo "bench: FAIL the phone did not get all transfers of the libusb loop"; break; }
  set -- $(last_rate); base=$1
  echo "bench: round $round libusb loop: $1 transfers/s, $2 MB/s"

  start_bridge 600
  wait_forwarding || { echo "bench: FAIL the bridge did not start forwarding"; break; }
  send --repeat $RUN $SIZE >/dev/null
  sender_done_at=$(grep -c '^phone: bench:' $P)
  batches=$((batches + PER_RUN))
  wait_batches $batches || { echo "bench: FAIL the phone did not get all datagrams from the bridge"; kill "$bridge_pid"; break; }
  set -- $(last_rate); bridged=$1
  echo "bench: round $round bridge:       $1 transfers/s, $2 MB/s"
  kill "$bridge_pid"; wait "$bridge_pid" 2>/dev/null
  if [ "$sender_done_at" -ge $((batches - 1)) ]; then
    echo "bench: round $round left out: the sender was still busy when the timed batch began"
    continue
  fi
  ratio=$(awk -v a="$bridged" -v b="$base" 'BEGIN { printf "%.3f", a / b }')
  echo "bench: round $round ratio bridge/loop $ratio"
  echo "$ratio" >> /tmp/ratios
  echo "$base $bridged" >> /tmp/rates
done
# On a busy host the emulated machine loses the CPU at random moments; each program's best round is the one
# least disturbed, so the ratio of the best rounds is the steadiest figure.
summary() {
  awk -v z="$SIZE" '{ n++; sb += $1; sa += $2 } $1 > b { b = $1 } $2 > a { a = $2 } END {
    line = "bench: %s: libusb loop %.1f transfers/s (%.2f MB/s), bridge %.1f transfers/s (%.2f MB/s), ratio %.3f (goal >= 0.95)\n"
    printf line, "mean of " n " rounds", sb / n, sb / n * z / 1e6, sa / n, sa / n * z / 1e6, sa / sb
    printf line, "best rounds", b, b * z / 1e6, a, a * z / 1e6, a / b }' /tmp/rates
  echo "bench: median of the rounds' ratios $(sort -n /tmp/ratios | awk '{ r[NR] = $1 } END { print (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }')"
}
[ -f /tmp/rates ] && summary
stop_phone
