#!/bin/sh
# Builds the Debian packages stream-relay, accessory-bridge and relay-probe for
# amd64, arm64 and armhf (or the architectures named as arguments) and puts
# them in build-packages/debs/. Installs the cross toolchains when missing.
#   sh scripts/build-packages.sh            # all three
#   sh scripts/build-packages.sh arm64      # one
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
. scripts/cross.sh
need_build_packages

native=$(dpkg --print-architecture)
out=build-packages/debs
mkdir -p "$out"
for arch in ${*:-amd64 arm64 armhf}; do
  dir=build-packages/$arch
  mkdir -p "$dir"
  if [ "$arch" = "$native" ]; then
    toolchain=""
  else
    need_cross_packages "$arch"
    toolchain=-DCMAKE_TOOLCHAIN_FILE=$PWD/$(cross_toolchain_file "$arch")
  fi
  echo "--- $arch"
  # shellcheck disable=SC2086
  cmake -S . -B "$dir" $toolchain -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; exit 1; }
  nice cmake --build "$dir" -j 2 >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
  rm -f "$dir"/packages/*.deb
  (cd "$dir" && cpack >cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  for deb in "$dir"/packages/*.deb; do
    cp "$deb" "$out/"
    printf '%-45s %6d bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
  done
done
