#!/bin/sh
# The bridge against the kernel's USB stack: a gadget phone on dummy_hcd in a QEMU machine (see tests/vm/run.sh).
# Skips with a message where QEMU cannot run; fails when any scenario check fails.
set -eu
exec sh tests/vm/run.sh scenarios build-vm
