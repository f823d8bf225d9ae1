#!/usr/bin/env bash
# Installs what the build needs on Debian 12 (as root) and builds into <checkout>/build.
# Safe to run again: apt-get and CMake only do what is missing.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev
  clang libclang-rt-14-dev clang-format clang-tidy valgrind
  pybind11-dev python3-dev python3-pytest
  xvfb xauth xdotool x11-utils imagemagick fonts-noto-cjk openbox
  python3
  ser2net python3-serial
  gettext file lintian desktop-file-utils
  debootstrap
  libudev-dev umockdev libumockdev-dev gir1.2-umockdev-1.0 python3-gi
)
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
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" --parallel "$(nproc)"
