#!/bin/sh
# Runs the CTest suite of a sanitizer build and fails on any sanitizer report from any process.
#   sh scripts/sanitized-ctest.sh BUILD_DIR
# The tool's options come in TSAN_OPTIONS / ASAN_OPTIONS / UBSAN_OPTIONS, without log_path.
# Pass 1, all but the emulated-phone cases: every process (tests, and the relay they start and
#   kill) writes its reports to BUILD_DIR/sanitizer-reports/<tool>.<pid>; any such file fails.
# Pass 2, the emulated-phone cases (Bridge.*): under umockdev's preload library the runtime does
#   not honour log_path, so there a report ends the bridge with the tool's exit status, which the
#   tests check, and any report printed in their output fails as well.
# The leaks.* cases run the bridge under valgrind, which cannot run a sanitized program.
set -u
build=$1
reports="$PWD/$build/sanitizer-reports"
log="$build/ctest.log"
rm -rf "$reports" && mkdir -p "$reports"
status=0
TSAN_OPTIONS="${TSAN_OPTIONS:-} log_path=$reports/tsan" ASAN_OPTIONS="${ASAN_OPTIONS:-} log_path=$reports/asan" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-} log_path=$reports/ubsan" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^(leaks|Bridge)\.' >"$log" 2>&1 || status=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -R '^Bridge\.' >>"$log" 2>&1 || status=1
grep -E 'tests passed|Total Test time' "$log"
[ $status -eq 0 ] || cat "$log"
if grep -qE 'WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|runtime error:' "$log"; then
  echo "sanitizer reports in the tests' output (above)"; status=1
fi
if [ -n "$(ls -A "$reports")" ]; then
  echo "sanitizer reports:"; cat "$reports"/*; status=1
else
  echo "sanitizer report files: 0"
fi
exit $status
