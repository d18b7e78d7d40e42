#!/bin/sh
# Installs what is needed, builds, and runs every test stage in scripts/stages in order.
set -u
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_build_packages || { echo "package installation failed"; exit 1; }

passed=0
failed=0
failures=""
start=$(date +%s)
for stage in scripts/stages/*.sh; do
  name=$(basename "$stage" .sh)
  echo "=== stage $name"
  t0=$(date +%s)
  if sh "$stage"; then
    passed=$((passed + 1)); result=ok
  else
    failed=$((failed + 1)); result=FAILED; failures="$failures $name"
  fi
  echo "=== stage $name: $result ($(( $(date +%s) - t0 )) s)"
done
echo "test stages took $(( $(date +%s) - start )) s${failures:+; failed:$failures}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
