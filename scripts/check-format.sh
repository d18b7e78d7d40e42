#!/bin/sh
# Checks that every C and C++ source is formatted as .clang-format says; --fix rewrites them instead.
#   sh scripts/check-format.sh [--fix]
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh
need_packages clang-format
# The source folders, found without git: the tree may be an unpacked copy (builds go to build*/ at the top).
files=$(find bench bridge relay tools tests -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) | sort)
if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
unformatted=""
for f in $files; do
  clang-format "$f" | cmp -s "$f" - || unformatted="$unformatted $f"
done
[ -z "$unformatted" ] && { echo "all $(echo "$files" | wc -l) sources formatted"; exit 0; }
for f in $unformatted; do clang-format "$f" | diff -u "$f" - | head -n 40; done
echo "not formatted:$unformatted"
echo "run: sh scripts/check-format.sh --fix"
exit 1
