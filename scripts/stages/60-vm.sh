#!/bin/sh
# The bridge against the kernel's USB stack: a gadget phone on dummy_hcd in a QEMU machine (see tests/vm/run.sh).
# Then the systemd machine set up from what `cmake --install` stages, as a board that is not Debian would be, with
# the same service scenarios as the packages in stage 55.
# Skips with a message where QEMU cannot run; fails when any scenario check fails.
set -eu
sh tests/vm/run.sh scenarios build-vm
VM_INSTALL=tree exec sh tests/vm/run.sh systemd build-vm-systemd-tree
