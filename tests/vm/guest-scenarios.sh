# The bridge against the kernel's USB stack: the phone is a FunctionFS gadget on dummy_hcd.
. /opt/vm/guest-lib.sh
P=/tmp/phone.log
B=/tmp/bridge.log

# On one CPU: loopback datagrams sent from two CPUs in turn can reach the bridge's socket out of order when
# one CPU's network work is deferred (as in a busy emulated machine), and the phone checks their order.
send() { taskset 1 /opt/vm/send "$@"; }

phone_got_identification() {
  [ "$(grep -o '^phone: request 52: string [0-9]' $P | tr -d '\n')" = \
    "$(for i in 0 1 2 3 4 5; do printf 'phone: request 52: string %d' $i; done)" ] &&
  has_line $P 'phone: request 52: string 0 "norquelle" 10 bytes with NUL' &&
  has_line $P 'phone: request 52: string 1 "tessivar" 9 bytes with NUL' &&
  has_line $P 'phone: request 52: string 2 "description" 12 bytes with NUL' &&
  has_line $P 'phone: request 52: string 3 "0.0.1" 6 bytes with NUL' &&
  grep -qE '^phone: request 52: string 4 "[a-z]+://.+" [0-9]+ bytes with NUL$' $P &&
  has_line $P 'phone: request 52: string 5 "0123456789" 11 bytes with NUL'
}

# datagrams_ok N: the phone read N datagrams, each whole and as sent, and found no fault
datagrams_ok() { [ "$(grep -c '^phone: datagram [0-9]*: [0-9]* bytes ok$' $P)" = "$1" ] && lacks_line $P FAULT; }

datagrams_intact() {
  datagrams_ok 7 && grep -q '^phone: datagram 4: 10000 bytes ok$' $P && grep -q '^phone: datagram 6: 1024 bytes ok$' $P
}

switched_once() {
  [ "$(grep -c '^phone: request 53' $P)" = 1 ] && grep -q '^phone: configured as 18D1:2D00' $P
}

listed_accessory() {
  has_line $B 'Interface 0. altSetting 0. Num of endpoints: 2' &&
  has_line $B 'Endpoint type Bulk IN' && has_line $B 'Endpoint type Bulk OUT' &&
  preceded $B 2 'Android Found:'
}

claimed() {
  has_line $B 'Interface claimed, ready to transfer data' && grep -qxE 'Preparing to write to 000[1-9A-F]' $B
}

identified_again() {
  grep -q '^phone: request 51: answered version 2' $P && grep -q '^phone: request 52: string 5 ' $P
}

stopped_in_order() {
  has_line $B 'Bulk write error -1' && preceded $B 1 'Finished' && [ "$bridge_status" = 0 ]
}

# the phone left with nothing in flight: no transfer failed, and the bridge stopped as after one that did
stopped_without_a_transfer() {
  lacks_line $B 'Bulk write error' && preceded $B 1 'Finished' && [ "$bridge_status" = 0 ]
}

bridge_ended() { ! bridge_running; }

gave_up() {
  preceded $B 1 'Error setting up accessory' && [ "$bridge_status" = 255 ]
}

# Each scenario stops at its first failed step that later steps depend on; run_scenario then cleans up.

# 1 byte, an empty datagram (no transfer), 512 (a whole packet), 4097, 10,000, 12,000 (cut to 10,000), 3, and
# last 1024 (two whole packets): each must be one read, the last one too although nothing follows it. Then
# the phone is unplugged with nothing in flight: the bridge must end by itself. A new run of it (as its
# service would be restarted) switches the next phone and forwards to it.
switched_forwarded_unplugged() {
  start_phone --expect 1,512,4097,10000,10000,3,1024 --then unplug
  wait_device 1d6b 0104
  start_bridge
  check "bridge bound port 3020 after the handshake" wait_forwarding || return
  send 1,0,512,4097,10000,12000,3,1024
  check "phone received all datagrams" wait_line $P '^phone: all 7 datagrams received' 60 || return
  check "every byte and every length as sent, each in one read, the long one cut to 10000" datagrams_intact
  check "phone was asked for the protocol" has_line $P 'phone: request 51: answered version 2'
  check "six identification strings in order, each with its NUL" phone_got_identification
  check "one start request, then the phone came back as the accessory" switched_once
  check "phone unplugged itself" wait_line $P '^phone: unplugged' 30 || return
  unplugged_at=$(cut -d' ' -f1 /proc/uptime)
  check "bridge ended by itself with no datagram to send" poll_until 20 bridge_ended || return
  echo "vm: the bridge ended $(awk -v a="$unplugged_at" '{ printf "%.1f", $1 - a }' /proc/uptime) s after the unplug was seen"
  wait_bridge
  check "bridge listed the accessory after two empty lines" listed_accessory
  check "bridge claimed interface 0 and chose the bulk OUT endpoint" claimed
  check "unplugged idle: no Bulk write error, Finished, status 0 (was $bridge_status)" stopped_without_a_transfer

  stop_phone
  start_phone --expect 3000
  wait_device 1d6b 0104
  start_bridge
  check "a new bridge run bound port 3020 for the next phone" wait_forwarding || return
  send 3000
  check "the next phone was switched once and received its datagram" wait_line $P '^phone: all 1 datagrams received' 60 &&
    switched_once && datagrams_ok 1
  # still running: what it printed is already in its log, and stays there when the scenario kills it
  check "the running bridge's console is in its log line by line" claimed
}

# A phone already in accessory mode takes one 10,000-byte datagram from the bridge and then stops reading;
# a second datagram follows, and its transfer cannot complete.
second_datagram_to_a_phone_that_stopped() {
  start_phone --accessory --expect 10000 --then stop
  wait_device 18d1 2d00
  start_bridge
  check "bridge bound port 3020" wait_forwarding || return
  send 10000
  check "phone received the first datagram" wait_line $P '^phone: stopped reading' 60 || return
  send 10000
}

already_accessory_stops_reading() {
  second_datagram_to_a_phone_that_stopped || return
  wait_bridge
  check "identified again" identified_again
  check "not restarted" lacks_line $P '^phone: request 53'
  check "bridge listed the accessory" listed_accessory
  check "bulk timeout: Bulk write error -1, Finished, status 0 (was $bridge_status)" stopped_in_order
  check "no fault on the phone" lacks_line $P FAULT
}

unplugged_during_transfer() {
  second_datagram_to_a_phone_that_stopped || return
  check "the second one waits in the host controller" transfer_waiting
  # unplugged within the bridge's 5 s timeout, or this would only repeat the timeout scenario
  check "bridge still waiting when the phone goes" bridge_running || return
  echo > /sys/kernel/config/usb_gadget/phone/UDC
  wait_bridge
  check "unplugged: Bulk write error -1, Finished, status 0 (was $bridge_status)" stopped_in_order
}

# With udevd stopped, no hotplug event tells libusb that the phone left; the bridge must still end by itself,
# from usbfs's own report on the phone's descriptor (libusb turns it into the same hotplug event), and not
# wait for a datagram.
unplugged_idle_without_udevd() {
  start_phone --accessory
  wait_device 18d1 2d00
  start_bridge
  check "bridge bound port 3020" wait_forwarding || return
  killall systemd-udevd
  echo > /sys/kernel/config/usb_gadget/phone/UDC
  check "with no udevd, the bridge ended by itself with no datagram to send" poll_until 20 bridge_ended
  ended=$?
  /lib/systemd/systemd-udevd --daemon
  [ "$ended" = 0 ] || return
  wait_bridge
  check "unplugged idle without udevd: no Bulk write error, Finished, status 0 (was $bridge_status)" \
    stopped_without_a_transfer
}

no_phone() {
  start_bridge
  wait_bridge
  check "the root hub was probed" has_line $B 'Checking device #0'
  check "Error setting up accessory, status 255 (was $bridge_status)" gave_up
}

run_scenario "phone switched into accessory mode, datagrams forwarded, then unplugged" switched_forwarded_unplugged
run_scenario "phone already in accessory mode, then it stops reading" already_accessory_stops_reading
run_scenario "phone unplugged while a transfer waits for it" unplugged_during_transfer
run_scenario "phone unplugged with nothing in flight while udevd is stopped" unplugged_idle_without_udevd
run_scenario "no phone on the bus" no_phone
summary
