#!/usr/bin/env bash
# Sanitizer builds and their tests.
#   scripts/sanitize.sh address   ASan + UBSan over everything but the Qt host
#   scripts/sanitize.sh thread    TSan over the threaded code (label "threaded")
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
KIND=${1:?address or thread}
BUILD=build-$KIND
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DQUILLBY_SANITIZE="$KIND" -DQUILLBY_BUILD_HOST=OFF -DQUILLBY_BUILD_BENCH=OFF
if [ "$KIND" = thread ]; then
  cmake --build "$BUILD" -j2 --target threaded_tests
else
  cmake --build "$BUILD" -j2
fi
cd "$BUILD"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp
if [ "$KIND" = thread ]; then
  ctest --output-on-failure -j2 -L threaded
else
  ctest --output-on-failure -j2
fi
