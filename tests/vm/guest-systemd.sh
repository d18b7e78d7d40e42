# The programs under systemd and udev, installed with apt from the packages or (tessivar.install=tree) from what
# `cmake --install` staged; from then on the services and the udev rules, not this script, start the programs.
# Each check says what it saw: unit states as ActiveState/SubState/Result, the system's state, journal lines.
. /opt/vm/guest-lib.sh
export PATH=/opt/vm:$PATH DEBIAN_FRONTEND=noninteractive
method=$(sed -n 's/.*tessivar\.install=\([a-z]*\).*/\1/p' /proc/cmdline)
D=/opt/vm/debs
P=/tmp/phone.log
PACKAGES="stream-relay accessory-bridge relay-probe"

state() { echo "$(systemctl show -P ActiveState "$1")/$(systemctl show -P SubState "$1")/$(systemctl show -P Result "$1")"; }
in_state() { [ "$(state "$1")" = "$2" ]; }
active_state() { [ "$(systemctl show -P ActiveState "$1")" = "$2" ]; }
system_is() { [ "$(systemctl is-system-running)" = "$1" ]; }
main_pid() { systemctl show -p MainPID --value "$1"; }
versions() { dpkg-query -W -f '${Package} ${Version} ${db:Status-Abbrev}\n' $PACKAGES 2>&1 | paste -sd, | tr -s ' '; }

# The journal from a mark on. Before 255, journalctl skips the first entry after a cursor that matches a
# filter unless the cursor's own entry matches it: so each unit is marked at its own last entry.
place() { journalctl -q -n 1 --show-cursor -o cat ${1:+-u "$1"} | sed -n 's/^-- cursor: //p'; }
mark() { relay_mark=$(place stream-relay); bridge_mark=$(place accessory-bridge); }
since_mark() {
  if [ "$1" = stream-relay ]; then c=$relay_mark; else c=$bridge_mark; fi
  journalctl -q -o cat ${c:+--after-cursor="$c"} -u "$1"
}
# journal UNIT REGEX: its matching lines since the mark, on one line, " | " between them
journal() { since_mark "$1" | grep -E -- "$2" | paste -sd'|' | sed 's/|/ | /g'; }
journal_has() { since_mark "$1" | grep -qE -- "$2"; }

apt_get() {
  apt-get -y -q "$@" > /tmp/apt.log 2>&1 && return 0
  sed 's/^/  apt> /' /tmp/apt.log
  return 1
}

# The steps docs/board.md gives after `cmake --install`, here for the staged folder unpacked at /: the users,
# systemd and udev told of the new files (udev also of the devices already plugged in), the relay enabled.
install_tree() {
  { tar -x --keep-directory-symlink -C / -f /opt/vm/tree/stage.tar && systemd-sysusers && systemctl daemon-reload &&
    udevadm control --reload-rules && udevadm trigger --subsystem-match=usb --action=change --settle &&
    systemctl enable --now stream-relay; } > /tmp/install.log 2>&1 && return 0
  sed 's/^/  install> /' /tmp/install.log
  return 1
}

service_users() {
  for u in stream-relay accessory-bridge; do
    line=$(getent passwd "$u") && [ "$(echo "$line" | cut -d: -f3)" -lt 1000 ] &&
      [ "$(echo "$line" | cut -d: -f7)" = /usr/sbin/nologin ] && getent group "$u" >/dev/null || return 1
  done
}

# The relay as it should be whenever its package is installed: enabled, running, counted as a success.
relay_up() {
  poll_until 30 in_state stream-relay active/running/success
  check "relay $(systemctl is-enabled stream-relay), $(state stream-relay)" \
    test "$(systemctl is-enabled stream-relay)/$(state stream-relay)" = enabled/active/running/success
}

# The bridge with no phone: not running and not failed (skipped by its start condition when something
# started it), and the system running.
bridge_idle() {
  poll_until 30 system_is running
  check "bridge $(systemctl is-enabled accessory-bridge 2>&1), $(state accessory-bridge); system $(systemctl is-system-running)" \
    sh -c "case $(state accessory-bridge)/$(systemctl is-system-running) in inactive/dead/*/running) ;; *) exit 1 ;; esac"
}

# What the bridge printed right after the phone's own VID line: access to the phone, or its refusal.
after_phone_vid() {
  since_mark accessory-bridge | awk 'found { print; exit } /^VID: 1D6B\. PID: 0104$/ { found = 1 }'
}

relay_started() { journal_has stream-relay "Tessivar v\\.$1\\b" && journal_has stream-relay '^Init device discovery$'; }

# A phone is plugged in before the install, which lets udev see it again: the bridge serves it at once.
installed() {
  check "boot: system $(systemctl is-system-running --wait)" system_is running ||
    systemctl --failed --no-legend | sed 's/^/  failed> /'
  start_phone --debugging --expect 1000
  wait_device 1d6b 0104
  if [ "$method" = tree ]; then
    check "cmake --install's staged folder unpacked at / and set up: $(tar -tf /opt/vm/tree/stage.tar | grep -vc '/$') files" \
      install_tree
    upstream=$(cat /opt/vm/tree/version)
  else
    check "apt installs the packages offline: $(ls $D/*.deb | sed 's|.*/||' | paste -sd' ')" apt_get install $D/*.deb
    check "installed: $(versions)" test "$(dpkg-query -W -f '${db:Status-Abbrev}' $PACKAGES)" = "ii ii ii "
    upstream=$(dpkg-query -W -f '${Version}' stream-relay | sed 's/-[^-]*$//')
  fi
  check "service users: $(getent passwd stream-relay accessory-bridge | cut -d: -f1,3,7 | paste -sd' ')" service_users
  verified=$(systemd-analyze verify --man=no stream-relay.service accessory-bridge.service 2>&1)
  check "systemd-analyze verify of the two units (no man in the machine): ${verified:-nothing to say}" test -z "$verified"
  # started again as a boot starts it: multi-user.target's start pulls in what is enabled for it
  systemctl stop stream-relay
  systemctl start multi-user.target
  relay_up
  check "relay's journal, its banner the version $upstream: $(journal stream-relay 'Tessivar v|Init device discovery')" \
    relay_started "$upstream"
  check "relay answers relay-probe: $(relay-probe --data-only --duration 2 127.0.0.1 2>&1 | grep '^registered')" \
    sh -c "relay-probe --data-only --duration 2 127.0.0.1 2>&1 | grep -q '^registered: '"
  poll_until 60 port_3020_bound
  send 1000 >/dev/null
  check "the phone plugged in before the install is served: $(state accessory-bridge), $(grep -E '^phone: (configured|all)' $P | paste -sd' ')" \
    wait_line $P '^phone: all 1 datagrams received and correct' 60
  mark
  stop_phone
  unplugged "with nothing in flight" idle
}

# A datagram for the bridge from another host: its source is an address of the machine's that is not the
# loopback's (192.0.2.1, added to lo once), 700 bytes where the phone expects 1000.
FOREIGN=192.0.2.1
send_from_foreign() {
  /opt/vm/busybox ip addr show dev lo | grep -q " $FOREIGN/" || /opt/vm/busybox ip addr add "$FOREIGN/32" dev lo
  perl -MSocket -e 'socket(S, PF_INET, SOCK_DGRAM, 0) or die; $a = inet_aton($ARGV[0]);
    bind(S, sockaddr_in(0, $a)) or die "bind: $!"; send(S, "x" x 700, 0, sockaddr_in(3020, $a)) or die "send: $!"' "$FOREIGN"
}

# A phone offering debugging is plugged in; udev starts the bridge, which switches it and forwards. The phone
# stops reading, a datagram waits for it, and it is unplugged: the transfer fails, the bridge ends, and the
# restart after "Finished" is skipped. A second phone stops reading too, and the bridge's transfer times out
# while it stays: the restart finds it and identifies it again. Then it is unplugged with nothing in flight:
# the bridge ends by itself and its restart is skipped. Each time the unit ends inactive, the system running.
phones_come_and_go() {
  start_phone --debugging --expect 1000 --then stop
  check "phone plugged in: $(sed -n 's/^phone: //p' $P | head -n 1)" wait_device 1d6b 0104
  poll_until 60 port_3020_bound
  check "udev started the bridge, which bound port 3020: $(state accessory-bridge)" port_3020_bound || return
  check "phone switched: $(grep -c '^phone: request 5[123]' $P) handshake requests, $(grep -o 'configured as 18D1:2D00' $P)" \
    switched_once
  check "a datagram from $FOREIGN sent to port 3020" send_from_foreign
  send 1000 >/dev/null
  check "a datagram to port 3020 reached the phone: $(grep '^phone: datagram' $P)" wait_line $P '^phone: all 1 datagrams' 60
  check "the one from $FOREIGN did not: $(grep -E '^phone: (all|FAULT)' $P | paste -sd' ')" \
    sh -c "! grep -q FAULT $P && grep -q '^phone: all 1 datagrams received and correct' $P"
  check "after the phone's VID line: \"$(after_phone_vid)\" ($(since_mark accessory-bridge | grep -c '^Access denied') Access denied lines in all)" \
    test "$(after_phone_vid)" = "Sent getProtocol"
  send 100 >/dev/null
  check "the next datagram waits for the phone, which reads no more" transfer_waiting || return
  mark
  stop_phone
  unplugged "with a transfer waiting" waiting

  start_phone --debugging --expect 1000 --then stop
  wait_device 1d6b 0104
  poll_until 60 port_3020_bound
  first=$(main_pid accessory-bridge)
  send 1000 >/dev/null
  wait_line $P '^phone: all 1 datagrams' 60
  mark
  send 100 >/dev/null
  poll_until 60 sh -c "[ \"\$(systemctl show -P MainPID accessory-bridge)\" != $first ]" && poll_until 60 port_3020_bound
  check "timed out on a phone still there, restarted for it: $(journal accessory-bridge 'Bulk write error|Finished|Scheduled|Android Found'); phone: $(grep -c '^phone: request 51' $P) protocol requests, $(grep -c '^phone: request 53' $P) start" \
    test "$(grep -c '^phone: request 51' $P)/$(grep -c '^phone: request 53' $P)" = 2/1
  mark
  stop_phone
  unplugged "with nothing in flight" idle
}

# unplugged HOW waiting|idle: the bridge ended with status 0, with a failed transfer if one was waiting and
# without one otherwise; its restart was skipped (see restart_done) and it is idle
unplugged() {
  poll_until 60 restart_done
  check "unplugged $1: $(journal accessory-bridge 'Bulk write error|Finished|status=|Deactivated|Scheduled|skipped')" \
    ended_as "$2"
  bridge_idle
}

ended_as() {
  journal_has accessory-bridge '^Finished$' && first_end_clean &&
    if [ "$1" = waiting ]; then journal_has accessory-bridge '^Bulk write error -1$'
    else ! journal_has accessory-bridge 'Bulk write error'; fi
}

# The restart a second after an unplug is skipped once udev has taken the phone's link away. On a machine busy
# with other work udev can be later than that: the restart then finds no phone (status 255) and the unit is
# forgotten with the phone's device. Either way the unit comes to rest inactive, which bridge_idle checks.
restart_done() {
  journal_has accessory-bridge 'skipped because of an unmet condition|status=255' &&
    ! active_state accessory-bridge activating
}

# the bridge's first run since the mark ended with status 0
first_end_clean() {
  since_mark accessory-bridge | grep -m 1 -E 'Deactivated successfully|Main process exited' | grep -q Deactivated
}

switched_once() {
  [ "$(grep -c '^phone: request 53' $P)" = 1 ] && grep -q '^phone: configured as 18D1:2D00' $P
}

# A phone that leaves at a moment of its start: the unit comes to rest inactive, the system running. Before the
# bridge starts (a drop-in holds its start until the phone is gone), during the identification, at the start
# request, and after it instead of coming back (the reopen). The claim's moment is the emulated bus's.
early_unplugs() {
  for moment in start 52 53 reopen; do
    mark
    if [ $moment = start ]; then
      bridge_drop_in held '[Service]' "ExecStartPre=/bin/sh -c 'while [ -d /dev/accessory-bridge ]; do sleep 0.1; done'"
      start_phone --debugging
      poll_until 60 in_state accessory-bridge activating/start-pre/success && stop_phone
    else
      start_phone --debugging --unplug-at $moment
      wait_line $P '^phone: unplugged at' 60 && wait_no_phone
    fi
    poll_until 60 journal_has accessory-bridge '^Error setting up accessory$'
    poll_until 60 active_state accessory-bridge inactive
    check "unplugged at $moment: $(journal accessory-bridge 'Error|Could not|status=|Failed|Scheduled|skipped')" \
      ended_early $moment
    bridge_idle
    [ $moment != start ] || bridge_drop_in held
  done
}

# Pulled out during the identification or as the start request arrives, the phone ends the bridge as an unplug
# does (status 0). Gone before the bridge looked, it is no phone at all; gone once it took the start request, it
# is one that never came back, as a phone that fails to enumerate is: status 255 both. The unit is still not
# left failed, as the phone's device no longer holds it.
ended_early() {
  journal_has accessory-bridge '^Error setting up accessory$' &&
    case $1 in
      52 | 53) first_end_clean ;;
      reopen) journal_has accessory-bridge '^Could not\.\.\.$' && journal_has accessory-bridge 'status=255/EXCEPTION' ;;
      *) journal_has accessory-bridge 'status=255/EXCEPTION' ;;
    esac &&
    active_state accessory-bridge inactive
}

# bridge_drop_in NAME [LINE...]: a runtime drop-in for the bridge's unit with those lines, none without
bridge_drop_in() {
  f=/run/systemd/system/accessory-bridge.service.d/$1.conf; shift
  if [ $# -gt 0 ]; then mkdir -p "$(dirname $f)" && printf '%s\n' "$@" > $f; else rm -f $f; fi
  systemctl daemon-reload
}

# A device that matches the udev rule but is no phone (a camera, 06/01/01) is tried once: the unit stays failed
# while it is plugged in, is not started again, and is forgotten once it is unplugged.
camera_comes_and_goes() {
  start_phone --camera
  wait_device 1d6b 0104
  poll_until 60 in_state accessory-bridge failed/failed/exit-code
  check "a camera plugged in: $(grep -c 'number 51$' $P) protocol request, $(state accessory-bridge), system $(systemctl is-system-running); $(journal accessory-bridge 'Pipe error|Error setting up|status=')" \
    test "$(grep -c 'number 51$' $P)/$(state accessory-bridge)" = 1/failed/failed/exit-code
  mark
  stop_phone
  bridge_idle
}

# A real fault with a phone present still fails the unit: here a phone that does not answer the accessory
# protocol (its program stopped), which the bridge gives up with status 255. The unit is masked while the
# phone comes, so that the bridge starts only once the phone has stopped answering.
fault_shows() {
  systemctl mask --runtime --quiet accessory-bridge
  start_phone --debugging
  wait_device 1d6b 0104
  kill -STOP "$phone_pid"
  systemctl unmask --runtime --quiet accessory-bridge
  systemctl start accessory-bridge
  poll_until 60 in_state accessory-bridge failed/failed/exit-code
  check "phone that cannot be switched: $(state accessory-bridge), system $(systemctl is-system-running); journal: $(journal accessory-bridge 'Error setting up|status=|Failed')" \
    test "$(state accessory-bridge)/$(systemctl is-system-running)" = failed/failed/exit-code/degraded
  kill -CONT "$phone_pid"
  systemctl reset-failed accessory-bridge
}

# An empty video datagram ends the relay with status 1; systemd starts it again.
relay_restarts() {
  before=$(systemctl show -p NRestarts --value stream-relay)
  perl -MSocket -e 'socket(S, PF_INET, SOCK_DGRAM, 0); send(S, "", 0, sockaddr_in(5000, inet_aton("127.0.0.1")))'
  poll_until 30 sh -c "[ \$(systemctl show -p NRestarts --value stream-relay) -gt $before ]"
  relay_up
  poll_until 30 journal_has stream-relay 'status=1/FAILURE'
  check "relay restarted after status 1: NRestarts $before -> $(systemctl show -p NRestarts --value stream-relay); $(journal stream-relay 'status=|Scheduled restart|Tessivar v')" \
    journal_has stream-relay 'status=1/FAILURE'
  bridge_idle
}

upgraded() {
  relay=$(main_pid stream-relay)
  check "apt upgrades to the next revision: $(ls $D/next/*.deb | sed 's|.*/||' | paste -sd' ')" apt_get install $D/next/*.deb
  next=$(ls $D/next/stream-relay_*.deb | sed 's|.*_\(.*\)_.*|\1|')
  check "upgraded: $(versions)" test "$(dpkg-query -W -f '${Version}\n' $PACKAGES | sort -u)" = "$next"
  check "relay restarted by the upgrade: process $relay -> $(main_pid stream-relay)" test "$(main_pid stream-relay)" != "$relay"
  relay_up
  bridge_idle
}

gone_but_users() {
  [ ! -e /usr/bin/stream-relay ] && [ ! -e /usr/bin/accessory-bridge ] && [ ! -e /usr/bin/relay-probe ] &&
    [ "$(main_pid stream-relay)" = 0 ] &&
    service_users
}

removed() {
  check "apt removes the packages" apt_get remove $PACKAGES
  # relay-probe has nothing to keep, so it is gone entirely
  check "removed, the services' configuration kept: $(versions)" \
    test "$(dpkg-query -W -f '${db:Status-Abbrev}' stream-relay accessory-bridge)/$(dpkg-query -W relay-probe 2>/dev/null)" = "rc rc /"
  check "programs gone, relay $(state stream-relay), users kept" gone_but_users
  check "system $(systemctl is-system-running)" system_is running
}

installed_again() {
  check "apt installs them again" apt_get install $D/next/*.deb
  relay_up
  bridge_idle
}

purged() {
  check "apt purges the packages" apt_get purge $PACKAGES
  check "purged: $(versions)" sh -c "! dpkg-query -W -f '\${db:Status-Abbrev}' $PACKAGES 2>/dev/null | grep -q ."
  left=$(find /etc/systemd /var/lib/systemd/deb-systemd-helper-enabled -name '*stream-relay*' -o -name '*accessory-bridge*' 2>/dev/null)
  check "no unit links or enablement state left: ${left:-none}" test -z "$left"
  check "system $(systemctl is-system-running)" system_is running
}

# The previous revision installed and a phone plugged in and forwarded to; then the upgrade to this one with the
# phone still plugged in: udev looks at it again with the new rules, the bridge is restarted and forwards to it.
upgraded_with_phone() {
  check "apt installs the previous revision (a stand-in): $(ls $D/previous/*.deb | sed 's|.*/||' | paste -sd' ')" \
    apt_get install $D/previous/*.deb
  start_phone --debugging --expect 1000,1000
  wait_device 1d6b 0104
  poll_until 60 port_3020_bound
  send 1000 >/dev/null
  check "forwarded to under $(versions): $(grep '^phone: datagram' $P)" wait_line $P '^phone: datagram 0: 1000 bytes ok' 60 ||
    return
  before=$(main_pid accessory-bridge)
  mark
  check "apt upgrades to $(ls $D/stream-relay_*.deb | sed 's|.*_\(.*\)_.*|\1|') with the phone plugged in" apt_get install $D/*.deb
  poll_until 60 sh -c "[ \"\$(systemctl show -P MainPID accessory-bridge)\" != $before ]" && poll_until 60 port_3020_bound
  send --first 1 1000 >/dev/null
  wait_line $P '^phone: all 2 datagrams' 60
  check "forwarded to after the upgrade, without a replug: $(versions); link $(ls /dev/accessory-bridge); bridge $before -> $(main_pid accessory-bridge), $(journal accessory-bridge 'Android Found|claimed'); $(grep -E '^phone: (datagram 1|all)' $P | paste -sd' ')" \
    wait_line $P '^phone: all 2 datagrams received and correct' 1
}

# run_scenario, with the journal of the scenario's time printed when it failed
scenario() {
  mark
  since=$(place)
  scenario_failed=0
  run_scenario "$@"
  [ "$scenario_failed" = 0 ] ||
    journalctl -q -o short-monotonic --after-cursor="$since" | grep -v 'client count = ' | tail -n 80 |
      sed 's/^/  journal> /'
}

echo "vm: systemd $(systemctl --version | head -n 1 | cut -d' ' -f2) booted in $(cut -d' ' -f1 /proc/uptime) s"
job=$(sed -n 's/.*tessivar\.job=\([a-z]*\).*/\1/p' /proc/cmdline)
if [ "$job" = plugs ]; then
  . /opt/vm/plugs-guest.sh
  scenario "install" installed
  plug_bench
  echo "vm: plugs ended after $(cut -d' ' -f1 /proc/uptime) s"
  systemctl poweroff --force --force
fi
echo "vm: installed from ${method:-packages}"
scenario "install with a phone plugged in: users, relay enabled and running as at boot, the phone served" installed
scenario "phones unplugged at every moment of their start" early_unplugs
scenario "a camera plugged in and unplugged" camera_comes_and_goes
scenario "phones plugged, switched, forwarded to, unplugged" phones_come_and_go
scenario "a real fault still fails the bridge's unit" fault_shows
scenario "the relay restarts after status 1" relay_restarts
if [ "$method" != tree ]; then
  scenario "upgrade to the next package revision" upgraded
  scenario "remove" removed
  scenario "install again after removal" installed_again
  scenario "purge" purged
  scenario "upgrade from the previous revision with a phone plugged in and forwarding" upgraded_with_phone
fi
summary
echo "vm: systemd ended after $(cut -d' ' -f1 /proc/uptime) s"
systemctl poweroff --force --force
