#!/bin/sh
# The relay under load in valgrind: one minute of the soak benchmark (video at up to 1,000 datagrams/s,
# never more than the relay takes in, with long pauses only; ten viewers joining, leaving, falling silent,
# some data-only) against the relay run by memcheck.
# The relay ends through its own exit path (an empty video datagram, status 1), so memcheck's leak
# check runs; any leak or invalid access makes valgrind end with 99 instead and fails the stage.
# The bridge's happy and fault paths get the same check from the leaks.* cases of its tests (every
# emulated-phone case again with the bridge under memcheck), run by the build-and-test stage, and
# from LeakSanitizer in the AddressSanitizer stage. The relay's two threads are still running at
# its exit (they are never joined), so their thread-local blocks show as "possibly lost": not leaks.
set -eu
. scripts/lib.sh
need_packages valgrind
build_into build-leaks -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
g++ -O2 -std=c++20 -pthread -Itests/relay -DSTREAM_RELAY_PATH=\"build-leaks/relay/stream-relay\" \
  tests/soak/soak.cpp tests/relay/relay_harness.cpp -o build-leaks/soak

log="$PWD/build-leaks/relay-memcheck.log"
wrapper=build-leaks/relay-under-memcheck.sh
cat >"$wrapper" <<WRAP
#!/bin/sh
exec valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --log-file="$log" \
  "$PWD/build-leaks/relay/stream-relay"
WRAP
chmod +x "$wrapper"
rm -f "$log"
status=0
SOAK_UNDER_TOOL=1 ./build-leaks/soak "$wrapper" 1 5 || status=1
if [ -s "$log" ]; then
  echo "memcheck found:"; cat "$log"; status=1
else
  echo "memcheck over the relay: no leak, no invalid access"
fi
exit $status
