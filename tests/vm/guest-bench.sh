# The benchmark: 10,000-byte transfers to the same gadget phone in the same boot, by several writers in turn,
# round after round:
#   loop         host-loop: a bare libusb loop writing the same bytes over and over (the baseline)
#   bridge       accessory-bridge fed from UDP by `send`
#   udploop      host-loop --udp: receive from UDP, write, nothing else: the least any forwarder can do
#   loop-zc, udploop-zc: the two loops with a usbfs (zero-copy) buffer
# tessivar.runs=NAME,NAME picks them (default loop,bridge,udploop); each round starts one further on, so no
# writer always follows the same one. The phone times every run the same way: over the last batch of BATCH
# reads, once the run is in its stride and, for the UDP-fed writers, once the sender has finished handing
# over its datagrams.
. /opt/vm/guest-lib.sh
BATCH=400
PER_RUN=6
RUN=$((PER_RUN * BATCH))
SIZE=10000
ROUNDS=$(sed -n 's/.*tessivar\.rounds=\([0-9]*\).*/\1/p' /proc/cmdline)
ROUNDS=${ROUNDS:-5}
RUNS=$(sed -n 's/.*tessivar\.runs=\([a-z,-]*\).*/\1/p' /proc/cmdline | tr , ' ')
RUNS=${RUNS:-loop bridge udploop}
P=/tmp/phone.log

# The receiving socket gets a buffer for the whole run, so the sender can be done at once and is no load
# during the timed batch (the bridge itself sets no buffer size).
# UDP's memory limits are raised too (in pages), so that backlog never puts UDP under memory pressure.
echo $((96 * 1024 * 1024)) > /proc/sys/net/core/rmem_default
echo "65536 98304 131072" > /proc/sys/net/ipv4/udp_mem

batches_reported() { [ "$(grep -c '^phone: bench:' $P)" -ge "$1" ]; }
# wait_batches N: until the phone has reported N batches in all
wait_batches() { poll_until 120 batches_reported "$1"; }

last_rate() { grep '^phone: bench:' $P | tail -n 1 | sed 's/.*: \([0-9.]*\) transfers\/s, \([0-9.]*\) MB\/s$/\1 \2/'; }

# feed_and_wait: the UDP-fed writer has bound port 3020; send it the run's datagrams and wait for the phone
feed_and_wait() {
  send --repeat $RUN $SIZE >/dev/null
  sender_done_at=$(grep -c '^phone: bench:' $P)
  batches=$((batches + PER_RUN))
  wait_batches $batches
}

# kept in bridge_pid, so wait_forwarding and the cleanup treat it as they treat the bridge
start_udp_loop() {
  host-loop --udp "$@" $RUN $SIZE > /tmp/host-loop.log 2>&1 &
  bridge_pid=$!
}

# one_run NAME: one run of that writer; sets rate and mb, or returns 1
one_run() {
  sender_done_at=0
  case "$1" in
    loop|loop-zc)
      host-loop $([ "$1" = loop-zc ] && echo --zerocopy) $RUN $SIZE >/dev/null || return 1
      batches=$((batches + PER_RUN))
      wait_batches $batches || return 1 ;;
    bridge|udploop|udploop-zc)
      case "$1" in
        bridge) start_bridge 600 ;;
        udploop) start_udp_loop ;;
        udploop-zc) start_udp_loop --zerocopy ;;
      esac
      wait_forwarding || { kill "$bridge_pid"; return 1; }
      feed_and_wait || { kill "$bridge_pid"; return 1; }
      kill "$bridge_pid" 2>/dev/null; wait "$bridge_pid" 2>/dev/null
      # the timed batch must have begun after the sender was done
      [ "$sender_done_at" -lt $((batches - 1)) ] || { echo "bench: round $round $1 left out: the sender was still busy"; return 2; } ;;
    *) echo "bench: no writer named $1"; return 1 ;;
  esac
  set -- "$1" $(last_rate)
  rate=$2 mb=$3
}

start_phone --accessory --bench $BATCH
wait_device 18d1 2d00
batches=0
for round in $(seq $ROUNDS); do
  line="$round"
  # each round starts one writer further on, so no writer always follows the same one
  order=$(echo $RUNS | awk -v r="$round" '{ for (i = 0; i < NF; i++) printf "%s ", $((i + r - 1) % NF + 1) }')
  for w in $order; do
    one_run "$w"
    case $? in
      0) printf 'bench: round %s %-11s %7.1f transfers/s, %5.2f MB/s\n' "$round" "$w" "$rate" "$mb"; line="$line $w=$rate" ;;
      2) ;;
      *) echo "bench: FAIL the phone did not get all transfers of $w"; break 2 ;;
    esac
  done
  echo "$line" >> /tmp/rates
  # what the one step every UDP-fed writer adds, the receive, costs in this machine
  send --receive-cost $RUN $SIZE | sed -n "s/^send: receive cost: \([0-9.]*\) .*/\1/p" >> /tmp/receive-cost
done

# Per writer: the median and best of its rounds, and the median over rounds of its ratio to each loop of
# the same round (rounds where either was left out do not count).
summary() {
  awk -v z="$SIZE" -v order="$RUNS" '
    function median(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
      return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2 }
    { delete r; for (i = 2; i <= NF; i++) { split($i, kv, "="); r[kv[1]] = kv[2]; v[kv[1], ++n[kv[1]]] = kv[2] }
      for (w in r) for (b in r) if (w != b) q[w, b, ++nq[w, b]] = r[w] / r[b] }
    END {
      m = split(order, names, " ")
      for (i = 1; i <= m; i++) {
        w = names[i]; if (!n[w]) continue
        delete a; best = 0; for (k = 1; k <= n[w]; k++) { a[k] = v[w, k]; if (a[k] > best) best = a[k] }
        med = median(a, n[w])
        printf "bench: %-11s median %7.1f transfers/s (%5.2f MB/s), best %7.1f, %d rounds\n", w, med, med * z / 1e6, best, n[w]
      }
      for (i = 1; i <= m; i++) if (n[names[i]]) {
        delete a; for (k = 1; k <= n[names[i]]; k++) a[k] = 1e6 / v[names[i], k]
        printf "bench: %-11s median %7.1f us per transfer\n", names[i], median(a, n[names[i]])
      }
      for (i = 1; i <= m; i++) for (j = 1; j <= m; j++) {
        w = names[i]; b = names[j]
        if (w == b || b !~ /loop/ || w ~ /^loop/ || !nq[w, b]) continue
        delete a; for (k = 1; k <= nq[w, b]; k++) a[k] = q[w, b, k]
        printf "bench: ratio %s/%s: median %.3f over %d rounds\n", w, b, median(a, nq[w, b]), nq[w, b]
      }
    }' /tmp/rates
}
[ -f /tmp/rates ] && summary
[ -s /tmp/receive-cost ] && echo "bench: one receive of a $SIZE-byte datagram in this machine: median $(sort -n /tmp/receive-cost | awk '{ r[NR] = $1 } END { print (NR % 2) ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2 }') us"
stop_phone
