#!/bin/sh
# Builds what the test machine needs, boots it under QEMU (software emulation) and runs one job in it:
#   sh vm/run.sh scenarios   the bridge against the kernel's USB stack; fails on any failed check
#   sh vm/run.sh bench       the bridge's forwarding rate against a bare libusb loop, same machine, same boot
# Where QEMU cannot run here it says why and exits 0. BUILD_DIR (default build-vm) is its own build folder.
set -eu
job=${1:-scenarios}
build=${2:-build-vm}
cd "$(dirname "$0")/.."
. scripts/lib.sh

skip() { echo "vm: skipped: $*"; exit 0; }
[ "$(dpkg --print-architecture 2>/dev/null)" = amd64 ] || skip "the guest kernel and the programs are amd64 only"
need_packages qemu-system-x86 busybox-static cpio udev binutils || skip "QEMU could not be installed"
qemu-system-x86_64 -version >/dev/null 2>&1 || skip "qemu-system-x86_64 does not start"

t0=$(date +%s)
build_into "$build" -DBUILD_TESTING=OFF >/dev/null
mkdir -p "$build/vm"
for p in phone send; do cc -O2 -Wall -Wextra -o "$build/vm/$p" "vm/$p.c" -pthread; done
cc -O2 -Wall -Wextra -o "$build/vm/host-loop" vm/host-loop.c $(pkg-config --cflags --libs libusb-1.0)
sh vm/build-image.sh "$build"
t1=$(date +%s)

# KVM is not used: where /dev/kvm exists it may still be unusable, and TCG runs everywhere.
log=$build/vm/$job.log
timeout -k 10 "${VM_TIMEOUT:-600}" qemu-system-x86_64 -nodefaults -no-user-config -machine pc -accel tcg -cpu max \
  -smp "${VM_CPUS:-2}" -m 512 -display none -serial stdio -no-reboot \
  -kernel "$build/vm/vmlinuz" -initrd "$build/vm/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=4 tessivar.job=$job${BENCH_ROUNDS:+ tessivar.rounds=$BENCH_ROUNDS}" </dev/null 2>&1 | tr -d '\r' | tee "$log"
t2=$(date +%s)
echo "vm: build $((t1 - t0)) s, boot and $job $((t2 - t1)) s"

grep -q "^vm: $job ended" "$log" || { echo "vm: the machine stopped before $job ended (log: $log)"; exit 1; }
if [ "$job" = scenarios ]; then
  grep -qE '^vm: [1-9][0-9]* passed, 0 failed$' "$log"
fi
