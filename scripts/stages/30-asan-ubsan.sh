#!/bin/sh
# The whole CTest suite under AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer,
# in its own build folder; any report fails the stage (see scripts/sanitized-ctest.sh). The
# bridge's emulated-phone cases put libasan first in LD_PRELOAD, ahead of umockdev's preload
# library (tests/bridge/CMakeLists.txt passes its path to the phone emulator).
set -eu
. scripts/lib.sh
build_into build-asan -DSANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Exit statuses of their own, so a report never passes for a status a test expects (1, 255).
ASAN_OPTIONS="detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1 exitcode=86" \
UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 exitcode=87" \
  exec sh scripts/sanitized-ctest.sh build-asan
