#!/usr/bin/env bash
# Installs what the build needs on Debian 12 or 13 (as root) and builds into <checkout>/build.
# Safe to run again: apt-get and CMake only do what is missing.
#
#   scripts/setup.sh [cmake options]         everything: the tests, benchmarks, Python module
#   scripts/setup.sh --run [cmake options]   only what running the window needs: the control,
#                                            corvane-register and Sampleton, and the packages
#                                            to build them and show the window on a virtual display
#
# CORVANE_SETUP_PACKAGES_ONLY=1 installs the packages and builds nothing;
# CORVANE_BUILD_DIR names another build folder.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

for_run=0
if [ "${1:-}" = --run ]; then
  for_run=1
  shift
fi

# Every name here is the same on Debian 12 and 13; where Debian has an unversioned name
# (libclang-rt-dev for the sanitizer and fuzzer runtimes) it is the one used, so that each
# release brings its own compiler's.
run_packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libudev-dev
  xvfb xauth xdotool imagemagick openbox fonts-noto-cjk
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev clang-format clang-tidy valgrind
  pybind11-dev python3-dev python3-pytest
  x11-utils
  python3
  ser2net python3-serial tshark
  gettext locales file lintian desktop-file-utils abigail-tools
  debootstrap
  umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
)
packages=("${run_packages[@]}")
[ "$for_run" = 1 ] || packages+=("${test_packages[@]}")

if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

# scripts/package.sh needs the packages only.
[ "${CORVANE_SETUP_PACKAGES_ONLY:-0}" = 1 ] && exit 0

build="${CORVANE_BUILD_DIR:-$top/build}"
if [ "$for_run" = 1 ]; then
  # A new folder leaves out what only the tests need (and their packages); a folder the tests
  # configured keeps its options, and only the three targets are brought up to date.
  options=()
  if [ ! -f "$build/CMakeCache.txt" ]; then
    options=(-DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF -DCORVANE_BUILD_PYTHON=OFF)
  fi
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "$@"
  cmake --build "$build" --parallel "$(nproc)" --target Corvane corvane-register Sampleton
else
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON -DCORVANE_BUILD_PYTHON=ON "$@"
  cmake --build "$build" --parallel "$(nproc)"
fi
