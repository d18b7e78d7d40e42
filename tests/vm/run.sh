#!/bin/sh
# Builds what the test machine needs, boots it under QEMU (software emulation) and runs one job in it:
#   sh tests/vm/run.sh scenarios   the bridge against the kernel's USB stack; fails on any failed check
#   sh tests/vm/run.sh bench       the bridge's forwarding rate against a bare libusb loop, same machine, same boot
#   sh tests/vm/run.sh systemd     the packages under systemd and udev: a Debian root (debootstrap, made once into the
#                            cache) boots with systemd, installs the amd64 .debs, built first into build-packages/
#                            (VM_PACKAGES_BUILT=1: they are there and current), and the services start the
#                            programs; fails on any failed check. VM_INSTALL=tree installs instead what
#                            `cmake --install` stages (prefix /usr/local), unpacked at / and set up as
#                            docs/board.md says, and runs the scenarios that do not need packages
#   sh tests/vm/run.sh plugs       the systemd machine for bench/plugs.sh: the time from plugging a phone in to its
#                            first datagram (BENCH_ROUNDS plugs of each setting, default 5)
# Where QEMU cannot run here it says why and exits 0. BUILD_DIR (default build-vm) is its own build folder.
# VM_ARCH=arm64 runs the arm64 build of the programs in an arm64 machine (qemu-system-aarch64 -M virt);
# VM_ONLY=NAME,NAME runs only those scenarios (the function names in tests/vm/guest-scenarios.sh).
set -eu
job=${1:-scenarios}
build=${2:-build-vm}
arch=${VM_ARCH:-amd64}
install=${VM_INSTALL:-packages}
case "$job/$install" in
  scenarios/* | bench/* | systemd/packages | systemd/tree | plugs/packages) ;;
  *) echo "usage: [VM_INSTALL=packages|tree] sh tests/vm/run.sh [scenarios|bench|systemd|plugs] [BUILD_DIR]" >&2
     exit 2 ;;
esac
# the machines that boot the Debian root with systemd
vm_kind=initramfs
case "$job" in systemd | plugs) vm_kind=systemd ;; esac
cd "$(dirname "$0")/../.."
. scripts/lib.sh

skip() { echo "vm: skipped: $*"; exit 0; }
[ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || skip "the machine is built on amd64 hosts only"
[ "$vm_kind" != systemd ] || [ "$arch" = amd64 ] || { echo "vm: the systemd machine is amd64 only"; exit 1; }
if [ "$vm_kind" = systemd ]; then
  [ "$(id -u)" = 0 ] || skip "building the Debian root with debootstrap needs root"
  need_packages debootstrap e2fsprogs dpkg-dev || skip "debootstrap could not be installed"
fi
case "$arch" in
  amd64)
    need_packages qemu-system-x86 busybox-static cpio udev binutils || skip "QEMU could not be installed"
    qemu=qemu-system-x86_64 machine=pc console=ttyS0 cc=cc ;;
  arm64)
    . scripts/cross.sh
    need_cross_packages arm64 || skip "the arm64 cross compiler could not be installed"
    need_packages qemu-system-arm cpio binutils || skip "QEMU could not be installed"
    qemu=qemu-system-aarch64 machine=virt console=ttyAMA0 cc=aarch64-linux-gnu-gcc
    export PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig
    cross="--no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=$(cross_toolchain_file arm64)" ;;
  *) echo "vm: no machine for $arch"; exit 1 ;;
esac
$qemu -version >/dev/null 2>&1 || skip "$qemu does not start"

# The machine installs the packages, then upgrades them to the next revision: the same build packed again with
# one more changelog entry (in place, the changelog put back afterwards).
packages_for_machine() {
  [ "${VM_PACKAGES_BUILT:-}" = 1 ] || sh scripts/build-packages.sh amd64
  tree=$(ls -d build-packages/amd64/tessivar-board-*/)
  version=$(cd "$tree" && dpkg-parsechangelog -S Version)
  next=${version%-*}-$((${version##*-} + 1))
  rm -rf "$1" && mkdir -p "$1/next"
  cp "$tree"/../*_"${version}"_amd64.deb "$1/"
  mv "$tree/debian/changelog" "$tree/debian/changelog.built"
  { printf 'tessivar-board (%s) UNRELEASED; urgency=medium\n\n  * Next revision, for the upgrade check.\n\n -- %s  %s\n\n' \
      "$next" "$(cd "$tree" && dpkg-parsechangelog -l debian/changelog.built -S Maintainer)" "$(date -R)"
    cat "$tree/debian/changelog.built"; } > "$tree/debian/changelog"
  (cd "$tree" && DEB_BUILD_OPTIONS="noddebs nocheck" dpkg-buildpackage -b -nc -us -uc >../next.log 2>&1) || next=""
  mv "$tree/debian/changelog.built" "$tree/debian/changelog"
  [ -n "$next" ] || { tail -n 20 "$tree/../next.log"; echo "vm: packing the next revision failed"; exit 1; }
  mv "$tree"/../*_"${next}"_amd64.deb "$1/next/"
  rm -f "$tree"/../*_"${next}"_amd64.*
  previous_for_machine "$1"
  echo "vm: packages $version, $next for the upgrade, and $previous (stand-in) to upgrade from with a phone plugged in"
}

# The previous revision, which an upgrade with a phone plugged in starts from. A stand-in made from this build:
# each package repacked with the version of the changelog's previous entry and, for the bridge, the udev rules and
# postinst as that revision had them: the phone's rule made its link itself, there was no link rule, and the
# postinst did not trigger udev.
previous_for_machine() {
  previous=$(cd "$tree" && dpkg-parsechangelog -o 1 -c 1 -S Version)
  mkdir -p "$1/previous"
  for deb in "$1"/*_"${version}"_amd64.deb; do
    dir=$build/vm/repack
    rm -rf "$dir" && dpkg-deb -R "$deb" "$dir"
    sed -i "s/^Version: .*/Version: $previous/" "$dir/DEBIAN/control"
    rules=$dir/lib/udev/rules.d
    if [ -d "$rules" ]; then
      sed -i 's|^GROUP="accessory-bridge", MODE="0660"$|&, SYMLINK+="accessory-bridge/%k"|' "$rules/60-accessory-bridge.rules"
      rm "$rules/90-accessory-bridge-link.rules"
      # the shebang and set -e, then debhelper's sections only
      sed -i '3,/^# Automatically added by/{/^# Automatically added by/!d}' "$dir/DEBIAN/postinst"
      grep -q 'SYMLINK+=' "$rules/60-accessory-bridge.rules" && ! grep -q udevadm "$dir/DEBIAN/postinst" ||
        { echo "vm: the rules or the postinst changed: the previous revision's stand-in needs updating"; exit 1; }
    fi
    (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | xargs -0 md5sum > DEBIAN/md5sums)
    dpkg-deb --root-owner-group -b "$dir" "$1/previous/" >/dev/null
  done
  rm -rf "$dir"
}

# What `cmake --install` stages for a board with the prefix /usr/local, as a tar of the folder, and the version its
# relay prints.
tree_for_machine() {
  build_into "$build" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr/local >/dev/null
  stage=$(pwd)/$build/vm/stage
  rm -rf "$1" "$stage" && mkdir -p "$1"
  DESTDIR=$stage cmake --install "$build" >/dev/null
  tar -C "$stage" -cf "$1/stage.tar" .
  sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt > "$1/version"
  echo "vm: cmake --install staged $(cd "$stage" && find . ! -type d | wc -l) files"
}

t0=$(date +%s)
mkdir -p "$build/vm"
if [ "$vm_kind" = systemd ]; then
  rm -rf "$build/vm/debs" "$build/vm/tree"
  if [ "$install" = tree ]; then tree_for_machine "$build/vm/tree"; else packages_for_machine "$build/vm/debs"; fi
else
  build_into "$build" ${cross:-} -DBUILD_TESTING=OFF >/dev/null
  $cc -O2 -Wall -Wextra -o "$build/vm/host-loop" tests/vm/host-loop.c $(pkg-config --cflags --libs libusb-1.0)
fi
for p in phone send; do $cc -O2 -Wall -Wextra -o "$build/vm/$p" "tests/vm/$p.c" -pthread; done
# debootstrap needs the network and mounts inside its root, which some containers forbid
VM_ARCH=$arch VM_JOB=$vm_kind sh tests/vm/build-image.sh "$build" || { [ $? = 2 ] && skip "no Debian root for systemd"; exit 1; }
t1=$(date +%s)

# The same receive measured natively here, for comparison with the figure the machine prints.
if [ "$job" = bench ]; then
  cc -O2 -o "$build/vm/send-native" tests/vm/send.c
  for i in 1 2 3; do "$build/vm/send-native" --receive-cost 2400 10000; done | sed 's/^send: /bench: on the host, natively: /'
fi

# KVM is not used: where /dev/kvm exists it may still be unusable, and TCG runs everywhere.
log=$build/vm/$job.log
# The systemd machine's root disk: writes go to a temporary snapshot, so the cached image stays as made.
[ "$vm_kind" != systemd ] || disk="-drive file=$build/vm/root.ext4,format=raw,if=virtio,snapshot=on,cache=unsafe"
timeout -k 10 "${VM_TIMEOUT:-600}" $qemu -nodefaults -no-user-config -machine $machine -accel tcg -cpu max \
  -smp "${VM_CPUS:-2}" -m 512 -display none -serial stdio -no-reboot ${disk:-} \
  -kernel "$build/vm/vmlinuz" -initrd "$build/vm/initrd.gz" \
  -append "console=$console panic=-1 usbcore.autosuspend=-1 quiet loglevel=4 tessivar.job=$job tessivar.install=$install${BENCH_ROUNDS:+ tessivar.rounds=$BENCH_ROUNDS}${BENCH_RUNS:+ tessivar.runs=$BENCH_RUNS}${VM_ONLY:+ tessivar.only=$VM_ONLY}" </dev/null 2>&1 | tr -d '\r' | tee "$log"
t2=$(date +%s)
echo "vm: build $((t1 - t0)) s, boot and $job $((t2 - t1)) s"

grep -q "^vm: $job ended" "$log" || { echo "vm: the machine stopped before $job ended (log: $log)"; exit 1; }
if [ "$job" != bench ] && [ "$job" != plugs ]; then
  grep -qE '^vm: [1-9][0-9]* passed, 0 failed$' "$log"
fi
