#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (the whole tree instrumented, with
# AddressSanitizer and UndefinedBehaviorSanitizer) into <checkout>/build-fuzz, then runs each
# target for FUZZ_SECONDS (default 30) on a copy of its committed corpus, one after the other.
# Exits non-zero when any target finds a crash, a leak, a timeout or runs out of memory, and
# prints where the reproducer is and how to replay it. Safe to run again, from any folder.
#
#   scripts/fuzz.sh                   every target
#   scripts/fuzz.sh registry variant  only these (names as in fuzz/<name>_fuzz.cpp)
#
# Needs clang and libclang-rt-dev (scripts/setup.sh installs both).
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CORVANE_FUZZ_BUILD_DIR:-$top/build-fuzz}"
seconds="${FUZZ_SECONDS:-30}"

for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz.sh: $tool is missing (run scripts/setup.sh)" >&2; exit 2; }
done

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for source in "$top"/fuzz/*_fuzz.cpp; do
    base="$(basename "$source" .cpp)"
    names+=("${base%_fuzz}")
  done
fi

CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -Wno-unknown-warning-option" \
  -DCORVANE_SANITIZE=ON -DCORVANE_FUZZ=ON \
  -DCORVANE_BUILD_SAMPLE=OFF -DCORVANE_BUILD_BENCH=OFF >/dev/null
targets=()
for name in "${names[@]}"; do targets+=("fuzz_$name"); done
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

passed=0
failed=0
for name in "${names[@]}"; do
  program="$build/bin/fuzz_$name"
  work="$build/fuzz-runs/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -R "$top/fuzz/corpus/$name/." "$work/corpus/"
  echo "fuzz_$name: fuzzing for ${seconds}s (log: $work/log.txt)"
  status=0
  "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" \
    >"$work/log.txt" 2>&1 || status=$?
  reproducers=("$work"/artifacts/*)
  if [ "$status" -ne 0 ] || [ -e "${reproducers[0]}" ]; then
    failed=$((failed + 1))
    echo "fuzz_$name: FAILED (exit $status); from the log:"
    first="$(grep -n -m1 -E 'check failed|ERROR:|runtime error|terminate called' "$work/log.txt" |
      cut -d: -f1 || true)"
    if [ -n "$first" ]; then
      sed -n "$((first > 3 ? first - 3 : 1)),$((first + 30))p" "$work/log.txt" | cut -c1-240 |
        sed 's/^/    /'
    else
      tail -n 40 "$work/log.txt" | sed 's/^/    /'
    fi
    for reproducer in "${reproducers[@]}"; do
      [ -e "$reproducer" ] || continue
      echo "fuzz_$name: reproducer $reproducer"
      echo "    replay: $program $reproducer"
    done
  else
    passed=$((passed + 1))
    echo "fuzz_$name: ok, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/log.txt" | grep -o '[0-9]*$') runs"
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
