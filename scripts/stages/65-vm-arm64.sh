#!/bin/sh
# The bridge on ARM: its arm64 build against the kernel's USB stack in an arm64 QEMU machine (-M virt, software
# emulation, Debian's arm64 kernel), with the same gadget phone and the same scenarios as the amd64 machine.
# Skips with a message where QEMU cannot run; fails when any check fails.
set -eu
export VM_ARCH=arm64 VM_ONLY=
exec sh tests/vm/run.sh scenarios build-vm-arm64
