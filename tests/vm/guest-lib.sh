# Helpers for the jobs that run inside the test machine (sourced).
# Every wait has a generous deadline; none of them measures time.

passed=0
failed=0
scenario_failed=0
failures=""

# poll_until SECONDS COMMAND...: until the command succeeds, looking five times a second; false at the deadline
poll_until() {
  local n=$(( $1 * 5 )); shift
  while ! "$@"; do
    n=$((n - 1)); [ "$n" -gt 0 ] || return 1
    sleep 0.2
  done
}

# a line of FILE matches (FILE may not exist yet)
file_has() { grep -qE -- "$2" "$1" 2>/dev/null; }

# wait_line FILE EXTENDED-REGEX [SECONDS]: until a line of FILE matches
wait_line() { poll_until "${3:-60}" file_has "$1" "$2"; }

# device_present VID PID: the host side sees a device with that identity
device_present() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = "$1" ] && [ "$(cat "$d/idProduct")" = "$2" ] && return 0
  done
  return 1
}

# wait_device VID PID [SECONDS]: until the device is there and udevd has announced it
wait_device() {
  poll_until "${3:-60}" device_present "$1" "$2" || return 1
  udevadm settle -t 30
}

no_phone_present() { ! device_present 1d6b 0104 && ! device_present 18d1 2d00; }

# wait_no_phone [SECONDS]: until the phone is off the bus in both of its identities
wait_no_phone() {
  poll_until "${1:-60}" no_phone_present || return 1
  udevadm settle -t 30
}

start_phone() {
  phone "$@" > /tmp/phone.log 2>&1 &
  phone_pid=$!
  wait_line /tmp/phone.log '^phone: (plugged in|FAULT)' 30
}

stop_phone() {
  { kill "$phone_pid"; wait "$phone_pid"; } 2>/dev/null
  echo > /sys/kernel/config/usb_gadget/phone/UDC 2>/dev/null
  wait_no_phone
}

# The bridge runs under a deadline, so a hung bridge ends the scenario instead of the whole run, and
# line-buffered, so that its log keeps every line it printed even when it is killed.
start_bridge() {
  timeout -s KILL "${1:-120}" stdbuf -oL accessory-bridge > /tmp/bridge.log 2>&1 &
  bridge_pid=$!
}

wait_bridge() {
  wait "$bridge_pid"
  bridge_status=$?
}

# a bridge that has ended stays a zombie until waited for
bridge_running() {
  [ -e "/proc/$bridge_pid" ] && ! grep -qs '^State:.*zombie' "/proc/$bridge_pid/status"
}

port_3020_bound() { grep -q ':0BCC ' /proc/net/udp; }
bound_or_ended() { port_3020_bound || ! bridge_running; }

# true once the bridge has bound its UDP port (3020 = 0BCC); false as soon as it has ended
wait_forwarding() { poll_until 60 bound_or_ended && port_3020_bound; }

# dummy_hcd lists the transfers it holds: the bridge's waits there while the phone reads nothing
transfer_waiting() {
  wait_line /sys/devices/platform/dummy_hcd.0/urbs 'ep[0-9]+out-bulk' 30
}

has_line() { grep -qxF -- "$2" "$1"; }
lacks_line() { ! grep -qE -- "$2" "$1"; }

# preceded FILE N TEXT: TEXT is a whole line right after N empty lines ("\nFinished" has N = 1)
preceded() {
  awk -v n="$2" -v t="$3" '$0 == t && empties >= n { found = 1 } { empties = ($0 == "") ? empties + 1 : 0 } END { exit !found }' "$1"
}

check() {
  what=$1; shift
  if "$@"; then
    passed=$((passed + 1)); echo "vm: ok - $what"
  else
    failed=$((failed + 1)); scenario_failed=1; echo "vm: FAIL - $what"
    failures="$failures
vm: FAIL - $what"
    return 1
  fi
}

# run_scenario TITLE FUNCTION: runs it, then ends whatever it left running. On a failure the scenario's logs
# and the kernel's last words go to the console; what the phone saw of the data always does.
# tessivar.only=NAME,NAME on the kernel command line runs only the scenarios with those function names.
only=$(sed -n 's/.*tessivar\.only=\([a-z_,]*\).*/\1/p' /proc/cmdline)
run_scenario() {
  case ",${only:-$2}," in *",$2,"*) ;; *) return 0 ;; esac
  echo "vm: --- $1 (at $(cut -d' ' -f1 /proc/uptime) s)"
  scenario_failed=0
  bridge_pid=
  phone_pid=
  rm -f /tmp/phone.log /tmp/bridge.log
  $2
  # (the shell's "Terminated" for a killed job is no news here)
  [ -n "$bridge_pid" ] && { kill "$bridge_pid" && wait "$bridge_pid"; } 2>/dev/null
  [ -n "$phone_pid" ] && stop_phone
  grep '^phone: datagram' /tmp/phone.log 2>/dev/null
  [ "$scenario_failed" = 0 ] && return 0
  for f in /tmp/phone.log /tmp/bridge.log; do
    [ -f "$f" ] && sed "s|^|  $(basename "$f" .log)> |" "$f"
  done
  dmesg | tail -n 30 | sed 's/^/  kernel> /'
}

# The count, and the failed checks again: a failed scenario's logs can push them out of a log's tail.
summary() {
  echo "vm: $passed passed, $failed failed${failures}"
}
