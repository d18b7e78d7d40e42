#!/bin/sh
# Builds the Debian packages stream-relay, accessory-bridge and relay-probe (debian/) for amd64, arm64 and
# armhf (or the architectures named as arguments) with dpkg-buildpackage and puts them in build-packages/debs/.
# Installs the build dependencies, cross ones included, when missing.
#   sh scripts/build-packages.sh            # all three
#   sh scripts/build-packages.sh arm64      # one
# dpkg-buildpackage writes its results beside the source folder, so each architecture is built from a copy
# of the tree in build-packages/ARCH/, and nothing lands outside the tree.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/cross.sh
need_packages build-essential debhelper cmake pkgconf libusb-1.0-0-dev

version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
out=build-packages/debs
mkdir -p "$out"
build=full
for arch in ${*:-amd64 arm64 armhf}; do
  dir=build-packages/$arch
  tree=$dir/tessivar-board-$upstream
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    need_cross_packages "$arch" pkgconf libstdc++6
    need_packages "crossbuild-essential-$arch"
  fi
  echo "--- $arch"
  rm -rf "$dir"
  mkdir -p "$tree"
  tar -c --exclude=./.git --exclude='./build*' . | tar -x -C "$tree"
  # The first architecture also gives the source package, from the tree as upstream tarball and debian/.
  [ "$build" = binary ] ||
    tar -c -J -f "$dir/tessivar-board_$upstream.orig.tar.xz" -C "$tree" --exclude=./debian \
      --transform "s,^\\.,tessivar-board-$upstream," .
  # No debug symbol packages; the programs' own tests run in the test command.
  (cd "$tree" && DEB_BUILD_OPTIONS="noddebs nocheck parallel=2" nice dpkg-buildpackage -a "$arch" \
    --build=$build -us -uc >../build.log 2>&1) ||
    { tail -n 40 "$dir/build.log"; echo "dpkg-buildpackage failed for $arch (log: $dir/build.log)"; exit 1; }
  build=binary
  rm -f "$out"/*_"$arch".deb
  for deb in "$dir"/*.deb; do
    cp "$deb" "$out/"
    printf '%-50s %6d bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
  done
done
