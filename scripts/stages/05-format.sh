#!/bin/sh
# Every C and C++ source formatted as .clang-format says (a second, before anything is built).
exec sh scripts/check-format.sh
