#!/bin/sh
# The whole CTest suite under ThreadSanitizer, in its own build folder; any report fails the stage
# (see scripts/sanitized-ctest.sh for how reports from every process are caught).
set -eu
. scripts/lib.sh
build_into build-tsan -DSANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The bridge tests add their own suppressions for umockdev and glib (tests/bridge/tsan.supp).
TSAN_OPTIONS="second_deadlock_stack=1" \
  exec sh scripts/sanitized-ctest.sh build-tsan
