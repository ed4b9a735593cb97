#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan and UBSan) in build-fuzz and
# runs each over its seed corpus for the given seconds (default 30), one
# after the other. Fails on any crash, leak, hang (an input that takes over
# 1 s) or sanitizer report; prints each target's executions, coverage and
# verdict. A failing input and the report are kept in build-fuzz/artifacts/.
#   scripts/fuzz.sh [seconds] [target ...]
# To replay one: build-fuzz/bin/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${1:-30}
shift || true
BUILD=build-fuzz
start=$(date +%s)

scripts/setup.sh
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQUILLBY_FUZZ=ON -DQUILLBY_BUILD_HOST=OFF -DQUILLBY_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$BUILD" -j2 --target fuzzers
built=$(date +%s)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

# Scratch space of the targets and the inputs they find; in memory when the
# machine has it, as the targets sync what they write.
base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
WORK=$(mktemp -d "$base/quillby-fuzz.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$BUILD/artifacts"

failed=0
printf '%-16s %8s %10s %8s %8s  %s\n' target seeds executions cov ft verdict
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/$target
  mkdir -p "$WORK/$target/corpus" "$WORK/$target/tmp"
  options=(-max_total_time="$SECONDS_EACH" -timeout=1 -detect_leaks=1 -rss_limit_mb=2048 -print_final_stats=1
    -close_fd_mask=3 -artifact_prefix="$ROOT/$BUILD/artifacts/$target-")
  if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
  log=$WORK/$target.log
  status=0
  TMPDIR=$WORK/$target/tmp ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$BUILD/bin/fuzz_$target" "${options[@]}" "$WORK/$target/corpus" "$seeds" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  stats=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$stats")
  verdict=ok
  if [ "$status" -ne 0 ] || grep -qE '^(==[0-9]+==)?ERROR: |runtime error:|^SUMMARY: ' "$log"; then
    verdict="FAILED (exit $status)"
    failed=1
  fi
  printf '%-16s %8s %10s %8s %8s  %s\n' "$target" "$(find "$seeds" -type f | wc -l)" "${executions:-?}" \
    "${cov:-?}" "${ft:-?}" "$verdict"
  if [ "$verdict" != ok ]; then
    cp "$log" "$BUILD/artifacts/$target.log"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -10 | sed 's/^/    /'
    echo "    whole report: $BUILD/artifacts/$target.log"
  fi
done
echo "fuzz: ${SECONDS_EACH} s per target; build $(( built - start )) s, total $(( $(date +%s) - start )) s"
exit $failed
