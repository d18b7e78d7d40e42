#!/bin/sh
# The relay on ARM: cross-builds it, relay-probe and their tests for arm64 and
# armhf, linked statically (Debian's qemu-user runs static threaded programs
# reliably, dynamic ones not), and runs the relay's unit, integration and
# concurrency tests and the probe's tests under qemu-user. Tests that start
# the relay or the probe start the ARM builds, through wrappers that run them
# under qemu as well.
set -eu
. scripts/lib.sh
. scripts/cross.sh
need_packages qemu-user file

status=0
for arch in arm64 armhf; do
  need_cross_packages "$arch" libgtest-dev
  dir=build-arm-$arch
  qemu=$(cross_qemu "$arch")
  echo "--- $arch: static build of the relay, the probe and their tests"
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$(cross_toolchain_file "$arch")" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DTEST_GROUPS="relay;probe" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; exit 1; }
  # Named targets only: the bridge needs libusb, which cannot be linked statically.
  for target in stream-relay relay-probe relay_unit_tests relay_integration_tests relay_stress_tests \
      probe_unit_tests probe_relay_tests; do
    nice cmake --build "$dir" -j 2 --target "$target" >"$dir/build-$target.log" 2>&1 ||
      { cat "$dir/build-$target.log"; exit 1; }
  done
  for program in relay/stream-relay tools/relay-probe/relay-probe; do
    file "$dir/$program" | sed "s|^$dir/||; s/, BuildID[^,]*//"
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$qemu" "$PWD/$dir/$program" >"$dir/$(basename "$program")-under-qemu"
    chmod +x "$dir/$(basename "$program")-under-qemu"
  done
  echo "--- $arch: tests under $qemu"
  if STREAM_RELAY_BINARY="$PWD/$dir/stream-relay-under-qemu" RELAY_PROBE_BINARY="$PWD/$dir/relay-probe-under-qemu" \
      ctest --test-dir "$dir" -j 2 --timeout 600 --output-on-failure >"$dir/ctest.log" 2>&1; then
    tail -n 3 "$dir/ctest.log"
  else
    cat "$dir/ctest.log"
    status=1
  fi
done
exit $status
