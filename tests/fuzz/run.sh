#!/bin/sh
# Builds the fuzz harnesses with clang (ASan + UBSan + libFuzzer) and runs each one.
#   sh tests/fuzz/run.sh short [seconds]   each harness for this long (default 60); the test command's run
#   sh tests/fuzz/run.sh long [inputs]     each harness for this many inputs (default 10000000)
# A third argument runs only the named harness (discovery or descriptor).
# New inputs go to build-fuzz/corpus/<harness> (FUZZ_BUILD names another folder); the committed seeds in tests/fuzz/seeds are only read.
# Any crash, sanitizer report or model mismatch stops that harness, leaves the input in
# build-fuzz/artifacts and makes the script fail.
set -eu
cd "$(dirname "$0")/../.."
. scripts/lib.sh
need_packages clang libclang-rt-14-dev

mode=${1:-short}
case "$mode" in
  short) limit="-max_total_time=${2:-60}" ;;
  long) limit="-runs=${2:-10000000}" ;;
  *) echo "usage: sh tests/fuzz/run.sh short [seconds] | long [inputs]" >&2; exit 2 ;;
esac

build=${FUZZ_BUILD:-build-fuzz}
cmake -S tests/fuzz -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j 2 >/dev/null
mkdir -p "$build/artifacts"

failed=0
for seeds in tests/fuzz/seeds/*/; do
  harness=$(basename "$seeds")
  [ -z "${3:-}" ] || [ "$3" = "$harness" ] || continue
  program="$build/${harness}_fuzzer"
  [ -x "$program" ] || { echo "fuzz $harness: no harness built"; failed=1; continue; }
  # A tree's listing grows with its input; 512 bytes already reach every shape (32 interfaces,
  # settings and endpoints), and longer inputs only repeat the same loops more slowly.
  case "$harness" in descriptor) extra="-max_len=512" ;; *) extra="" ;; esac
  mkdir -p "$build/corpus/$harness"
  log="$build/$harness.log"
  start=$(date +%s)
  if "$program" $limit $extra -timeout=10 -print_final_stats=1 -artifact_prefix="$build/artifacts/$harness-" \
      "$build/corpus/$harness" "$seeds" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED; failed=1
    tail -n 40 "$log"
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  echo "fuzz $harness: $result, ${runs:-?} inputs in $(( $(date +%s) - start )) s (log $log)"
done
exit $failed
