#!/usr/bin/env bash
# Set-up, normal build and every test. Usage: scripts/test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
BUILD=${1:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j2
cd "$BUILD"
ctest --output-on-failure -j2
