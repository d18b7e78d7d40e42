# The plug benchmark's part in the systemd test machine (bench/plugs.sh boots it through tests/vm/run.sh plugs):
# sourced by tests/vm/guest-systemd.sh once the packages are installed, and using its helpers and those of
# tests/vm/guest-lib.sh.

# The benchmark (tessivar.job=plugs): the time from plugging a phone in to its first datagram at the phone,
# with the unit as packaged and, as the baseline, with the start condition the unit had before (a shell
# running find over /dev/bus/usb, as a drop-in). Rounds alternate which goes first. A datagram goes to port
# 3020 every 50 ms throughout, so the first one after the bridge is ready reaches the phone at once.
use_condition() {
  if [ "$1" = shell ]; then
    bridge_drop_in baseline '[Unit]' 'ConditionDirectoryNotEmpty=' '[Service]' \
      "ExecCondition=/bin/sh -c 'find /dev/bus/usb -type c -group accessory-bridge 2>/dev/null | grep -q .'"
  else
    bridge_drop_in baseline
  fi
}

plug_bench() {
  rounds=$(sed -n 's/.*tessivar\.rounds=\([0-9]*\).*/\1/p' /proc/cmdline)
  perl -MSocket -e 'socket(S, PF_INET, SOCK_DGRAM, 0); $to = sockaddr_in(3020, inet_aton("127.0.0.1"));
    while (1) { send(S, "x" x 1000, 0, $to); select(undef, undef, undef, 0.05) }' &
  sender=$!
  : > /tmp/plugs
  for r in $(seq "${rounds:-5}"); do
    if [ $((r % 2)) = 1 ]; then order="packaged shell"; else order="shell packaged"; fi
    for v in $order; do
      use_condition $v
      mark
      start_phone --debugging
      if wait_line $P '^phone: first datagram' 60; then
        t=$(sed -n 's/^phone: first datagram \([0-9.]*\) s.*/\1/p' $P)
        plugged=$(sed -n 's/^phone: plugged in as .* at \([0-9.]*\) s$/\1/p' $P)
        began=$(journalctl -q -o short-monotonic ${bridge_mark:+--after-cursor="$bridge_mark"} -u accessory-bridge |
          sed -n 's/^\[ *\([0-9.]*\)\] .*: Init USB$/\1/p' | head -n 1)
        start=$(echo "$began $plugged" | awk '{ printf "%.3f", $1 - $2 }')
        echo "bench: round $r, $v: the bridge began $start s, the first datagram came $t s after plugging in"
        echo "$v $t $start" >> /tmp/plugs
      else
        echo "bench: round $r, $v: no datagram reached the phone"
      fi
      stop_phone
      poll_until 60 active_state accessory-bridge inactive
    done
  done
  kill $sender
  use_condition packaged
  # per figure (the bridge's start, the first datagram): median, min and max of each setting, and the ratio
  awk '{ n[$1]++; t[$1, "datagram", n[$1]] = $2; t[$1, "start", n[$1]] = $3 }
    function median(v, f, k,   a, i, j, x) {
      for (i = 1; i <= k; i++) a[i] = t[v, f, i]
      for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
      lo = a[1]; hi = a[k]
      return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    END {
      split("start datagram", figures)
      label["start"] = "plug to the bridge'"'"'s start"; label["datagram"] = "plug to first datagram"
      for (f = 1; f <= 2; f++) {
        for (v in n) { m[v] = median(v, figures[f], n[v])
          printf "bench: %-8s %s: median %.3f s, min %.3f, max %.3f, %d plugs\n", v, label[figures[f]], m[v], lo, hi, n[v] }
        if (n["packaged"] && n["shell"])
          printf "bench: %s, packaged/shell: %.3f (%.3f s less a plug)\n", label[figures[f]], m["packaged"] / m["shell"], m["shell"] - m["packaged"]
      }
    }' /tmp/plugs
}
