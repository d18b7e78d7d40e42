#!/bin/sh
# From plug to first datagram: how long a phone waits under systemd, plug after plug, with the packaged unit and,
# as the baseline, with the start condition the unit had before (a shell running find, as a drop-in), the two
# alternating round by round; then per setting the median, least and greatest of each figure and the ratios.
# It boots the systemd test machine (tests/vm/run.sh plugs), which installs the amd64 packages and runs
# bench/plugs-guest.sh.
#
#   sh bench/plugs.sh               # 5 plugs of each setting
#   sh bench/plugs.sh --rounds 9    # 9 each
#
# As root. It builds the packages first, unless VM_PACKAGES_BUILT=1 says build-packages/ holds current ones.
set -eu
cd "$(dirname "$0")/.."
rounds=5
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: sh bench/plugs.sh [--rounds N]" >&2; exit 2 ;;
  esac
done
BENCH_ROUNDS=$rounds exec sh tests/vm/run.sh plugs build-vm-systemd
