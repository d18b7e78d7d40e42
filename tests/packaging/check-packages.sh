#!/bin/sh
# Checks the Debian packages in the folder given (from scripts/build-packages.sh):
# for amd64, arm64 and armhf each package's files, architecture and
# dependencies; an install, reinstall and removal in a throwaway root (users,
# units, enabled services); the units with systemd-analyze verify; the udev
# rule with udevadm's parser; and that the packaged relay starts as its unit
# starts it.
#   sh tests/packaging/check-packages.sh build-packages/debs
set -u
debs=$(cd "$1" && pwd)
cd "$(dirname "$0")/../.."
. scripts/lib.sh
. scripts/cross.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

pass() { echo "ok    $1"; }
fail() { echo "FAIL  $1"; failures=$((failures + 1)); }
# check DESCRIPTION COMMAND...: runs the command and reports.
check() {
  what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# The one package file of a program for an architecture.
deb_of() { ls "$debs"/"$1"_*_"$2".deb 2>/dev/null | head -n 1; }

# What readelf calls each architecture's machine.
machine_of() {
  case "$1" in
    amd64) echo "Advanced Micro Devices X86-64" ;;
    arm64) echo "AArch64" ;;
    armhf) echo "ARM" ;;
  esac
}

# The Debian package that provides a needed shared library.
package_of_library() {
  case "$1" in
    libc.so.6|libm.so.6) echo libc6 ;;
    libstdc++.so.6) echo libstdc++6 ;;
    libgcc_s.so.1) echo libgcc-s1 ;;
    libusb-1.0.so.0) echo libusb-1.0-0 ;;
    *) echo "unknown:$1" ;;
  esac
}

# The files (not folders) a package holds, sorted, without the leading "./".
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub("^\\./", "", $6); print $6 }' | sort; }

expected_files() {
  case "$1" in
    stream-relay) printf '%s\n' lib/systemd/system/stream-relay.service usr/bin/stream-relay \
                    usr/lib/sysusers.d/stream-relay.conf ;;
    accessory-bridge) printf '%s\n' lib/systemd/system/accessory-bridge.service \
                    lib/udev/rules.d/70-accessory-bridge.rules usr/bin/accessory-bridge \
                    usr/lib/sysusers.d/accessory-bridge.conf ;;
    relay-probe) printf '%s\n' usr/bin/relay-probe ;;
  esac
}

# Every library the program needs is named in the package's Depends.
dependencies_cover_libraries() {
  deb=$1; program=$2
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in $(readelf -d "$work/x/usr/bin/$program" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    package=$(package_of_library "$library")
    echo "$depends" | tr ',' '\n' | grep -q "^ *$package\( \|$\)" || { echo "  $library needs $package"; return 1; }
  done
}

check_package_contents() {
  arch=$1
  for program in stream-relay accessory-bridge relay-probe; do
    deb=$(deb_of "$program" "$arch")
    if [ -z "$deb" ]; then fail "$arch: $program package exists"; continue; fi
    echo "      $(basename "$deb"): $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
    check "$arch $program: architecture field" test "$(dpkg-deb -f "$deb" Architecture)" = "$arch"
    check "$arch $program: exactly the expected files" \
      test "$(files_of "$deb")" = "$(expected_files "$program")"
    rm -rf "$work/x"
    dpkg-deb -x "$deb" "$work/x"
    check "$arch $program: program built for $(machine_of "$arch")" \
      sh -c "readelf -h '$work/x/usr/bin/$program' | grep -q 'Machine: *$(machine_of "$arch")\$'"
    check "$arch $program: dependencies cover the libraries it needs" dependencies_cover_libraries "$deb" "$program"
    dpkg-deb -e "$deb" "$work/control"
    for script in postinst prerm postrm; do
      [ -f "$work/control/$script" ] && check "$arch $program: $script parses" sh -n "$work/control/$script"
    done
    rm -rf "$work/control"
  done
}

# A user the packages created: system range, no login.
user_is_service_user() {
  root=$1; user=$2
  line=$(grep "^$user:" "$root/etc/passwd") || return 1
  uid=$(echo "$line" | cut -d: -f3)
  shell=$(echo "$line" | cut -d: -f7)
  [ "$(grep -c "^$user:" "$root/etc/passwd")" -eq 1 ] && [ "$uid" -lt 1000 ] && [ "$uid" -gt 0 ] &&
    [ "$shell" = /usr/sbin/nologin ] && grep -q "^$user:" "$root/etc/group"
}

# The unit's User= exists in the root and its program is installed there.
unit_fits_root() {
  root=$1; unit=$2
  file="$root/lib/systemd/system/$unit.service"
  user=$(sed -n 's/^User=//p' "$file")
  program=$(sed -n 's/^ExecStart=.* \(\/usr\/bin\/[^ ]*\)$/\1/p' "$file")
  grep -q "^$user:" "$root/etc/passwd" && [ -n "$program" ] && [ -x "$root$program" ]
}

nothing_links_to() { ! find "$1/etc/systemd" -lname "*$2" 2>/dev/null | grep -q .; }

check_install_in_root() {
  arch=$1
  root="$work/root-$arch"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
  touch "$root/var/lib/dpkg/status"
  [ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$root" --add-architecture "$arch"
  # Maintainer scripts run here with DPKG_ROOT set: the root has no shell or libraries of its own.
  dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends "$@" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; return 1; }; }
  relay=$(deb_of stream-relay "$arch"); bridge=$(deb_of accessory-bridge "$arch"); probe=$(deb_of relay-probe "$arch")
  check "$arch: the three packages install into a throwaway root" dpkg_root -i "$relay" "$bridge" "$probe"
  for program in stream-relay accessory-bridge relay-probe; do
    check "$arch: /usr/bin/$program installed and executable" test -x "$root/usr/bin/$program"
  done
  for program in stream-relay accessory-bridge; do
    check "$arch: $program.service in /lib/systemd/system" test -f "$root/lib/systemd/system/$program.service"
    check "$arch: system user $program created, no login" user_is_service_user "$root" "$program"
    check "$arch: $program.service runs as an existing user, its program in place" unit_fits_root "$root" "$program"
  done
  check "$arch: udev rule in /lib/udev/rules.d" test -f "$root/lib/udev/rules.d/70-accessory-bridge.rules"
  check "$arch: stream-relay enabled at boot" \
    test -L "$root/etc/systemd/system/multi-user.target.wants/stream-relay.service"
  check "$arch: accessory-bridge not enabled at boot (udev starts it)" nothing_links_to "$root" accessory-bridge.service
  check "$arch: installing again (upgrade path) works, no second user" dpkg_root -i "$relay" "$bridge"
  check "$arch: still one stream-relay user" user_is_service_user "$root" stream-relay
  check "$arch: the packages remove" dpkg_root -r stream-relay accessory-bridge relay-probe
  check "$arch: programs and units gone after removal" \
    test ! -e "$root/usr/bin/stream-relay" -a ! -e "$root/lib/systemd/system/stream-relay.service" \
    -a ! -e "$root/usr/bin/accessory-bridge" -a ! -e "$root/lib/udev/rules.d/70-accessory-bridge.rules"
  check "$arch: stream-relay no longer enabled after removal" nothing_links_to "$root" stream-relay.service
  check "$arch: the packages purge" dpkg_root -P stream-relay accessory-bridge relay-probe
}

# Installs the native packages the ordinary way (no DPKG_ROOT, dependencies
# checked) on a copy of this very system: an overlay over / in a private mount
# namespace, entered with chroot, so the machine itself is not changed.
check_install_on_system_copy() {
  arch=$(dpkg --print-architecture)
  over="$work/overlay"
  mkdir -p "$over/upper" "$over/work" "$over/merged"
  mkdir -p "$over/upper/tmp/debs"
  cp "$(deb_of stream-relay "$arch")" "$(deb_of accessory-bridge "$arch")" "$(deb_of relay-probe "$arch")" \
    "$over/upper/tmp/debs/"
  unshare -m sh -c "mount -t overlay overlay -o lowerdir=/,upperdir='$over/upper',workdir='$over/work' '$over/merged' &&
    mount --bind /proc '$over/merged/proc' && mount --bind /dev '$over/merged/dev' &&
    mount -t tmpfs none '$over/merged/run' && chroot '$over/merged' sh -c '
      dpkg -i /tmp/debs/*.deb >/tmp/install.log 2>&1 || { cat /tmp/install.log; exit 1; }
      getent passwd stream-relay >/tmp/users; getent passwd accessory-bridge >>/tmp/users
      systemctl is-enabled stream-relay.service >/tmp/enabled 2>&1
      dpkg -r stream-relay accessory-bridge relay-probe >/tmp/remove.log 2>&1 || { cat /tmp/remove.log; exit 1; }
      test ! -e /usr/bin/stream-relay && getent passwd stream-relay >/dev/null'" >"$work/overlay.log" 2>&1 ||
    { sed 's/^/      /' "$work/overlay.log"; return 1; }
  [ "$(cut -d: -f7 "$over/upper/tmp/users" | sort -u)" = /usr/sbin/nologin ] &&
    [ "$(wc -l <"$over/upper/tmp/users")" -eq 2 ] && [ "$(cat "$over/upper/tmp/enabled")" = enabled ]
}

# systemd-analyze verify prints nothing for a sound unit; a unit with a
# mistake must make it speak, or the check would prove nothing.
verify_units() {
  units="$work/units"
  mkdir -p "$units"
  dpkg-deb -x "$(deb_of stream-relay amd64)" "$work/relay-files"
  dpkg-deb -x "$(deb_of accessory-bridge amd64)" "$work/bridge-files"
  cp "$work/relay-files/lib/systemd/system/stream-relay.service" \
     "$work/bridge-files/lib/systemd/system/accessory-bridge.service" "$units/"
  for unit in stream-relay accessory-bridge; do
    output=$(cd "$units" && systemd-analyze verify "$units/$unit.service" 2>&1)
    check "systemd-analyze verify $unit.service: clean" test -z "$output" ||
      echo "$output" | sed 's/^/      /'
  done
  sed 's/^Restart=always/Restart=allways/' "$units/stream-relay.service" >"$units/broken.service"
  output=$(cd "$units" && systemd-analyze verify "$units/broken.service" 2>&1)
  check "systemd-analyze verify notices a broken unit" test -n "$output"
  exposure=$(systemd-analyze security --offline=yes "$units/stream-relay.service" 2>/dev/null | tail -n 1)
  echo "      stream-relay.service: ${exposure#→ }"
  exposure=$(systemd-analyze security --offline=yes "$units/accessory-bridge.service" 2>/dev/null | tail -n 1)
  echo "      accessory-bridge.service: ${exposure#→ }"
}

# udevadm test reads every rules file and reports each line it cannot use,
# as "FILE:LINE ...". It runs in a private mount namespace, where the rule
# and a group file with the bridge's group are mounted over the real ones.
verify_udev_rule() {
  rule="$work/bridge-files/lib/udev/rules.d/70-accessory-bridge.rules"
  cp /etc/group "$work/group"
  echo "accessory-bridge:x:990:" >>"$work/group"
  output=$(unshare -m sh -c "mount -t tmpfs none /run && mkdir -p /run/udev/rules.d &&
    cp '$rule' /run/udev/rules.d/ && mount --bind '$work/group' /etc/group &&
    udevadm test --action=add /sys/class/net/lo 2>&1")
  echo "$output" | grep -q "Reading rules file: /run/udev/rules.d/70-accessory-bridge.rules" ||
    { fail "udevadm read the rule"; return; }
  complaints=$(echo "$output" | grep "^/run/udev/rules.d/70-accessory-bridge.rules:")
  check "udevadm finds nothing wrong in 70-accessory-bridge.rules" test -z "$complaints" ||
    echo "$complaints" | sed 's/^/      /'
}

# The packaged relay, started the way its unit starts it, prints its banner
# and opens its ports (in a network namespace of its own).
packaged_relay_starts() {
  unshare -n sh -c "ip link set lo up
    stdbuf -oL '$work/relay-files/usr/bin/stream-relay' >'$work/relay.out' 2>'$work/relay.err' &
    pid=\$!
    tries=0
    while ! grep -q 'Init device discovery' '$work/relay.err' 2>/dev/null && [ \$tries -lt 300 ]; do sleep 0.1; tries=\$((tries + 1)); done
    while ! grep -q 'client count = 0' '$work/relay.out' 2>/dev/null && [ \$tries -lt 300 ]; do sleep 0.1; tries=\$((tries + 1)); done
    kill \$pid"
  grep -q 'Tessivar v.0.2.3' "$work/relay.out" && grep -q 'client count = 0' "$work/relay.out"
}

# The packaged ARM bridge, dynamically linked, under qemu-user: it loads the
# target's libusb and, finding no phone, ends as it should. Only where the
# machine has no USB devices, which it would otherwise probe.
packaged_bridge_finds_no_phone() {
  arch=$1
  rm -rf "$work/bridge-$arch"
  dpkg-deb -x "$(deb_of accessory-bridge "$arch")" "$work/bridge-$arch"
  timeout 120 "$(cross_qemu "$arch")" "$work/bridge-$arch/usr/bin/accessory-bridge" >"$work/bridge-$arch.out" 2>&1
  status=$?
  [ "$status" -eq 255 ] && grep -q "^Error setting up accessory$" "$work/bridge-$arch.out" ||
    { echo "      status $status:"; sed 's/^/      /' "$work/bridge-$arch.out"; return 1; }
}

for arch in amd64 arm64 armhf; do
  echo "--- $arch packages"
  check_package_contents "$arch"
  check_install_in_root "$arch"
done
echo "--- $(dpkg --print-architecture) packages on a copy of this system"
check "install with dependencies checked, users created, relay enabled; removal keeps the users" \
  check_install_on_system_copy
echo "--- units, udev rule, packaged relay"
verify_units
verify_udev_rule
check "packaged amd64 relay starts as its unit runs it (banner and first count on line-buffered output)" \
  packaged_relay_starts

for arch in arm64 armhf; do
  if [ -n "$(ls /dev/bus/usb 2>/dev/null)" ]; then
    echo "skip  $arch bridge under qemu-user: this machine has USB devices, which the bridge would probe"
  else
    check "$arch packaged bridge under $(cross_qemu "$arch"): no phone, \"Error setting up accessory\", status 255" \
      packaged_bridge_finds_no_phone "$arch"
  fi
done

echo "package checks: $failures failed"
[ "$failures" -eq 0 ]
