#!/usr/bin/env bash
# Builds everything and runs every test on Debian 12 or 13: the format check, the suite (g++,
# with the Debian packages' maintainer scripts under dpkg in a chroot of this machine's
# release, as root), the suite again built with clang (plus clang-tidy over that build), the
# suite under AddressSanitizer + UndefinedBehaviorSanitizer, and a short run of every fuzz
# target. Warnings fail the builds; each release's own compilers and clang-tidy are used.
# Exits non-zero on any failure or sanitizer report.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"

# Packages first: the format check needs clang-format, which a fresh machine lacks.
CORVANE_SETUP_PACKAGES_ONLY=1 "$top/scripts/setup.sh"
"$top/scripts/check_format.sh"

"$top/scripts/setup.sh" -DCORVANE_WERROR=ON
(cd "$top/build" && ctest --output-on-failure --parallel "$jobs" --timeout 600)

# The same tree with clang: its warnings, its view of the code, and the tidy checks. The
# Debian packages' test ran with the first tree already (it builds packages of its own).
CORVANE_BUILD_DIR="$top/build-clang" "$top/scripts/setup.sh" \
  -DCMAKE_CXX_COMPILER=clang++ -DCORVANE_WERROR=ON
(cd "$top/build-clang" &&
  ctest --output-on-failure --parallel "$jobs" --timeout 600 -E '^debian_maintainer_scripts$')
"$top/scripts/tidy.sh" "$top/build-clang"

CORVANE_BUILD_DIR="$top/build-asan" "$top/scripts/setup.sh" \
  -DCORVANE_SANITIZE=ON -DCORVANE_BUILD_BENCH=OFF
(
  cd "$top/build-asan"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  export LSAN_OPTIONS="suppressions=$top/tests/sanitizers/lsan.supp:print_suppressions=0"
  ctest --output-on-failure --parallel "$jobs" --timeout 900
)

FUZZ_SECONDS="${FUZZ_SECONDS:-30}" "$top/scripts/fuzz.sh"
