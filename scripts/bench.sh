#!/usr/bin/env bash
# Builds the benchmarks (Release, in <checkout>/build-bench), runs every one of them and
# prints one table: workload, ours, reference, ratio, target, met?
#
#   scripts/bench.sh [--smoke] [program ...]
#
# --smoke runs one short round of each comparison (a check, not a measurement); naming
# programs (udp_bench, serial_bench ...) runs only those. Each program's full output is
# kept in build-bench/bench-output/. The packages come from scripts/setup.sh.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$top/build-bench"

flags=()
programs=()
for arg in "$@"; do
  case "$arg" in
    --smoke) flags+=(--smoke) ;;
    *) programs+=("$arg") ;;
  esac
done

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCH=ON >/dev/null
# python_bench is the Python module's benchmark, a script run where the module is built.
python_bench=no
named=()
for name in "${programs[@]}"; do
  if [ "$name" = python_bench ]; then python_bench=yes; else named+=("$name"); fi
done
if [ ${#programs[@]} -eq 0 ]; then
  if ninja -C "$build" -t query corvane_python >/dev/null 2>&1; then
    python_bench=yes
  fi
  for source in "$top"/bench/*.cpp; do
    name="$(basename "$source" .cpp)"
    # A program the build leaves out (the transcript without Qt) is skipped.
    if ninja -C "$build" -t query "bin/$name" >/dev/null 2>&1; then
      programs+=("$name")
    fi
  done
else
  programs=("${named[@]}")
fi
targets=("${programs[@]}")
if [ "$python_bench" = yes ]; then
  targets+=(corvane_python Corvane)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no benchmark to build: is libbenchmark-dev installed (scripts/setup.sh)?" >&2
  exit 1
fi
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}" >&2

output="$build/bench-output"
mkdir -p "$output"
table="$output/table.txt"
: >"$table"
echo "Corvane benchmarks, $(date '+%Y-%m-%d %H:%M %Z')"
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "Load before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
for name in "${programs[@]}"; do
  echo "running $name ..." >&2
  if ! QT_QPA_PLATFORM=offscreen "$build/bin/$name" "${flags[@]}" --table="$table" \
      >"$output/$name.txt" 2>&1; then
    echo "$name FAILED, see $output/$name.txt" >&2
    status=1
  fi
done
if [ "$python_bench" = yes ]; then
  echo "running python_bench ..." >&2
  if ! PYTHONPATH="$build/python" CORVANE_MODULE_PATH="$build/bin/Corvane.so" \
      /usr/bin/python3 "$top/bench/python_bench.py" "${flags[@]}" --table="$table" \
      >"$output/python_bench.txt" 2>&1; then
    echo "python_bench FAILED, see $output/python_bench.txt" >&2
    status=1
  fi
fi
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# ROW|workload|ours|reference|ratio|target|met
awk -F'|' '
  BEGIN { n = 0; split("workload|ours|reference|ratio|target|met?", head, "|")
          for (c = 1; c <= 6; c++) { cell[0, c] = head[c]; width[c] = length(head[c]) } }
  $1 == "ROW" { n++; for (c = 1; c <= 6; c++) { cell[n, c] = $(c + 1)
                  if (length($(c + 1)) > width[c]) width[c] = length($(c + 1)) } }
  END { for (r = 0; r <= n; r++) {
          line = ""
          for (c = 1; c <= 6; c++) line = line sprintf("%-" width[c] "s", cell[r, c]) (c < 6 ? "  " : "")
          print line
          if (r == 0) { rule = ""; for (c = 1; c <= 6; c++) rule = rule sprintf("%" width[c] "s", "") (c < 6 ? "  " : "")
                        gsub(/ /, "-", rule); print rule } } }
' <(sort -t'|' -s -k2.1,2.2 "$table")
exit $status
