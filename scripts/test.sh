#!/usr/bin/env bash
# Builds everything and runs every test: the suite, the suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a short run of every fuzz target.
# Exits non-zero on any failure or sanitizer report.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

"$top/scripts/setup.sh"
(cd "$top/build" && ctest --output-on-failure --parallel "$jobs" --timeout 600)

CORVANE_BUILD_DIR="$top/build-asan" "$top/scripts/setup.sh" \
  -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_BENCH=OFF
(
  cd "$top/build-asan"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$top/tests/sanitizers/lsan.supp:print_suppressions=0"
  ctest --output-on-failure --parallel "$jobs" --timeout 900
)

if [ -x "$top/scripts/fuzz.sh" ]; then
  FUZZ_SECONDS="${FUZZ_SECONDS:-30}" "$top/scripts/fuzz.sh"
fi
