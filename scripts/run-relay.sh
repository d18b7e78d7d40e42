#!/bin/sh
# Installs what is needed, builds both programs and runs the relay in the foreground.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_build_packages
build_into build
exec ./build/relay/stream-relay
