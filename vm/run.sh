#!/bin/sh
# Builds what the test machine needs, boots it under QEMU (software emulation) and runs one job in it:
#   sh vm/run.sh scenarios   the bridge against the kernel's USB stack; fails on any failed check
#   sh vm/run.sh bench       the bridge's forwarding rate against a bare libusb loop, same machine, same boot
# Where QEMU cannot run here it says why and exits 0. BUILD_DIR (default build-vm) is its own build folder.
# VM_ARCH=arm64 runs the arm64 build of the programs in an arm64 machine (qemu-system-aarch64 -M virt);
# VM_ONLY=NAME,NAME runs only those scenarios (the function names in vm/guest-scenarios.sh).
set -eu
job=${1:-scenarios}
build=${2:-build-vm}
arch=${VM_ARCH:-amd64}
cd "$(dirname "$0")/.."
. scripts/lib.sh

skip() { echo "vm: skipped: $*"; exit 0; }
[ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || skip "the machine is built on amd64 hosts only"
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

t0=$(date +%s)
build_into "$build" ${cross:-} -DBUILD_TESTING=OFF >/dev/null
mkdir -p "$build/vm"
for p in phone send; do $cc -O2 -Wall -Wextra -o "$build/vm/$p" "vm/$p.c" -pthread; done
$cc -O2 -Wall -Wextra -o "$build/vm/host-loop" vm/host-loop.c $(pkg-config --cflags --libs libusb-1.0)
VM_ARCH=$arch sh vm/build-image.sh "$build"
t1=$(date +%s)

# The same receive measured natively here, for comparison with the figure the machine prints.
if [ "$job" = bench ]; then
  cc -O2 -o "$build/vm/send-native" vm/send.c
  for i in 1 2 3; do "$build/vm/send-native" --receive-cost 2400 10000; done | sed 's/^send: /bench: on the host, natively: /'
fi

# KVM is not used: where /dev/kvm exists it may still be unusable, and TCG runs everywhere.
log=$build/vm/$job.log
timeout -k 10 "${VM_TIMEOUT:-600}" $qemu -nodefaults -no-user-config -machine $machine -accel tcg -cpu max \
  -smp "${VM_CPUS:-2}" -m 512 -display none -serial stdio -no-reboot \
  -kernel "$build/vm/vmlinuz" -initrd "$build/vm/initrd.gz" \
  -append "console=$console panic=-1 usbcore.autosuspend=-1 quiet loglevel=4 tessivar.job=$job${BENCH_ROUNDS:+ tessivar.rounds=$BENCH_ROUNDS}${BENCH_RUNS:+ tessivar.runs=$BENCH_RUNS}${VM_ONLY:+ tessivar.only=$VM_ONLY}" </dev/null 2>&1 | tr -d '\r' | tee "$log"
t2=$(date +%s)
echo "vm: build $((t1 - t0)) s, boot and $job $((t2 - t1)) s"

grep -q "^vm: $job ended" "$log" || { echo "vm: the machine stopped before $job ended (log: $log)"; exit 1; }
if [ "$job" = scenarios ]; then
  grep -qE '^vm: [1-9][0-9]* passed, 0 failed$' "$log"
fi
