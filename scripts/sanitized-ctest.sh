#!/bin/sh
# Runs the CTest suite of a sanitizer build and fails on any sanitizer report from any process.
#   sh scripts/sanitized-ctest.sh BUILD_DIR
# The tool's options come in TSAN_OPTIONS / ASAN_OPTIONS / UBSAN_OPTIONS, without log_path.
# Every process (the tests, and the relay and bridge they start, even one a test kills) writes its
# reports to sanitizer-report.<pid> in its working folder, the test's build folder; any such file
# fails, as does any report printed in a test's output. The log path has no folder in it: for one
# with a folder the runtime creates the folders through libc's mkdir, which umockdev's preload
# library (the bridge tests' emulated bus) wraps before it is ready, and the process crashes.
# The leaks.* cases run the bridge under valgrind, which cannot run a sanitized program.
set -u
build=$1
log="$build/ctest.log"
find "$build" -name 'sanitizer-report.*' -delete
status=0
TSAN_OPTIONS="${TSAN_OPTIONS:-} log_path=sanitizer-report" ASAN_OPTIONS="${ASAN_OPTIONS:-} log_path=sanitizer-report" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-} log_path=sanitizer-report" \
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^leaks\.' >"$log" 2>&1 || status=1
grep -E 'tests passed|Total Test time' "$log"
[ $status -eq 0 ] || cat "$log"
if grep -qE 'WARNING: ThreadSanitizer|ERROR: (Address|Leak)Sanitizer|runtime error:' "$log"; then
  echo "sanitizer reports in the tests' output (above)"; status=1
fi
reports=$(find "$build" -name 'sanitizer-report.*')
if [ -n "$reports" ]; then
  echo "sanitizer reports:"
  for report in $reports; do echo "--- $report"; cat "$report"; done
  status=1
else
  echo "sanitizer reports: 0"
fi
exit $status
