#!/bin/sh
# The relay's tests, its concurrency stress test above all, under ThreadSanitizer.
set -eu
. scripts/lib.sh
build_into build-tsan -DSANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -R 'Concurrency|ClientTable|Endpoint|RelayProcess'
