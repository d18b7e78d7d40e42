#!/bin/sh
# The relay's soak benchmark (not part of the test command; needs root for its network namespace):
#   sh tests/soak/run.sh [minutes] [seed]      default 10 minutes, seed 1
# Builds a Release relay into build-soak, runs it for that long under video at 1,000 datagrams/s
# with pauses and ten viewers joining, refreshing, leaving and falling silent at random, then prints
# the figures and PASS or FAIL (exit status 0 or 1).
set -eu
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_build_packages
build_into build-soak -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
# The namespace and viewer-socket helpers are the relay tests' own.
g++ -O2 -std=c++20 -Wall -Wextra -pthread -Itests/relay -DSTREAM_RELAY_PATH=\"build-soak/relay/stream-relay\" \
  tests/soak/soak.cpp tests/relay/relay_harness.cpp -o build-soak/soak
exec ./build-soak/soak build-soak/relay/stream-relay "${1:-10}" "${2:-1}"
