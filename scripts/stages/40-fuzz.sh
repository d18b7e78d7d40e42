#!/bin/sh
# A short libFuzzer run of every harness (60 s each); the long run is `sh tests/fuzz/run.sh long`.
set -eu
exec sh tests/fuzz/run.sh short 60
