#!/bin/sh
# The Debian packages (debian/): built for amd64, arm64 and armhf with dpkg-buildpackage, checked with lintian
# (every tag it still finds has an override with its reason), then installed, used, upgraded, removed and purged
# under systemd and udev in the test machine (tests/vm/run.sh systemd), where the services start the programs.
# The machine part skips with a message where QEMU cannot run.
set -eu
. scripts/lib.sh
need_packages lintian dpkg-dev
upstream=$(dpkg-parsechangelog -S Version | sed 's/-[^-]*$//')
project=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$upstream" = "$project" ] || { echo "debian/changelog packs $upstream, CMakeLists.txt says $project"; exit 1; }
rm -rf build-packages
sh scripts/build-packages.sh
echo "--- lintian"
status=0
(cd build-packages && lintian --info --pedantic --display-experimental --fail-on error,warning,info,pedantic \
  amd64/*.changes arm64/*.changes armhf/*.changes >lintian.log 2>&1) || status=$?
grep -v 'running with root privileges' build-packages/lintian.log || true
[ "$status" = 0 ] || { echo "lintian: tags found (status $status)"; exit 1; }
echo "lintian: no tags beyond the overridden ones"
VM_PACKAGES_BUILT=1 sh tests/vm/run.sh systemd build-vm-systemd
