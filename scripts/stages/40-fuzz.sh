#!/bin/sh
# A short libFuzzer run of every harness (60 s each); the long run is `sh fuzz/run.sh long`.
set -eu
exec sh fuzz/run.sh short 60
