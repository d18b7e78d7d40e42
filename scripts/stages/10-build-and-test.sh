#!/bin/sh
# The default (Release) build of both programs and the whole CTest suite.
set -eu
. scripts/lib.sh
build_into build
ctest --test-dir build --output-on-failure -j "$(nproc)"
