#!/usr/bin/env bash
# Builds Corvane's Debian packages from this tree (as root on Debian 12 or 13, which also
# installs what the build needs) with Debian's build flags, and checks them with lintian,
# which must find nothing to warn about:
#   libcorvane-platform1, corvane, libcorvane-platform-dev, sampleton, python3-corvane
# into <checkout>/build-deb/packages (CORVANE_PACKAGE_BUILD_DIR moves the build folder).
# The version is the project's, from the top-level CMakeLists.txt. Install them with
#   apt-get install ./build-deb/packages/*.deb
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${CORVANE_PACKAGE_BUILD_DIR:-$top/build-deb}"

CORVANE_SETUP_PACKAGES_ONLY=1 "$top/scripts/setup.sh"

# The flags every Debian package is built with, all hardening included (bind now, fortified
# functions, stack protector ...). CMake reads no CPPFLAGS: they go with the compiler's flags,
# as debhelper passes them. Given on the command line, they hold in a folder configured before.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(cd "$top" && dpkg-buildflags --get CPPFLAGS && dpkg-buildflags --get CXXFLAGS)"
cxxflags=${cxxflags//$'\n'/ }
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_INSTALL_PREFIX=/usr -DCORVANE_PACKAGE_DEB=ON \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF
cmake --build "$build" --parallel "$(nproc)"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
rm -rf "$build/packages/_CPack_Packages"

debs=("$build"/packages/*.deb)
lintian --fail-on warning "${debs[@]}"
printf '%s\n' "${debs[@]}"
