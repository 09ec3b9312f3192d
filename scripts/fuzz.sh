#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS (default 60) is the time given to each target; TARGETs default to every target the
# tree has (fuzz/targets/CMakeLists.txt). Each target starts from its committed seeds in
# fuzz/corpus/<target>/, copied into a scratch corpus under build-fuzz/fuzz-work/<target>/, which
# keeps growing from run to run (delete build-fuzz/fuzz-work to start afresh); the committed
# corpus is never written. A crash, leak, sanitizer report or time-out leaves its input in
# build-fuzz/fuzz-work/<target>/artifacts/ and makes the script exit with status 1 once every
# target has run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
if [ "$seconds" -lt 1 ]; then
  echo "fuzz: SECONDS must be at least 1" >&2
  exit 2
fi

bash scripts/setup.sh
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DDRAVIK_FUZZ=ON -DDRAVIK_BENCHMARKS=OFF >/dev/null
mapfile -t available < <(grep -v '^$' "$dir/fuzz-targets.txt" || true)
if ((${#available[@]} == 0)); then
  echo "fuzz: no fuzz target is configured" >&2
  exit 2
fi

targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=("${available[@]}")
fi
for t in "${targets[@]}"; do
  if ! printf '%s\n' "${available[@]}" | grep -qx -- "$t"; then
    echo "fuzz: unknown target '$t' (have: ${available[*]})" >&2
    exit 2
  fi
done

cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  work=$dir/fuzz-work/$t
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "fuzz/corpus/$t" ]; then
    cp -n "fuzz/corpus/$t"/* "$work/corpus/" 2>/dev/null || true
  fi
  echo "fuzz: $t for ${seconds}s"
  status=0
  "$dir/fuzz/targets/$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" >"$work/last.log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    failed+=("$t")
    tail -n 60 "$work/last.log" >&2
    echo "fuzz: $t FAILED (status $status); log $work/last.log, inputs in $work/artifacts/" >&2
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/last.log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz: $t ok, $runs runs, corpus $(find "$work/corpus" -type f | wc -l) inputs"
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s without a finding"
