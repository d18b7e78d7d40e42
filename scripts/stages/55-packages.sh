#!/bin/sh
# The Debian packages for amd64, arm64 and armhf, then their checks: contents,
# architectures, dependencies, units (systemd-analyze verify), and an install,
# upgrade and removal in throwaway roots.
set -eu
. scripts/lib.sh
need_packages systemd udev qemu-user
rm -rf build-packages/debs
sh scripts/build-packages.sh
sh tests/packaging/check-packages.sh build-packages/debs
