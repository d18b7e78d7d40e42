#!/bin/sh
# The bridge against the kernel's USB stack: a gadget phone on dummy_hcd in a QEMU machine (see vm/run.sh).
# Skips with a message where QEMU cannot run; fails when any scenario check fails.
set -eu
exec sh vm/run.sh scenarios build-vm
