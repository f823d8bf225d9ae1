#!/usr/bin/env bash
# A program built against the ABI baseline runs with this tree's library. The baseline is the
# commit that last changed abi/: the example host and a small consumer are compiled with that
# commit's installed headers, then linked and run against the library built here. The
# consumer also catches a platform::Error thrown inside the library, which works only while
# the library and the program share one type identity for it.
#
#   tests/install/abi_compatibility_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

baseline=$(git -C "$source" log -1 --format=%H -- abi/ 2>/dev/null) ||
  fail "$source is not a git checkout with its history: the baseline's headers come from it"
[ -n "$baseline" ] || fail "no commit has changed abi/ (a shallow clone?)"
echo "baseline: $(git -C "$source" log -1 --format='%h %s' "$baseline")"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "install: $(cat "$scratch/install.log")"
libdir=$(cd "$prefix" && dirname "$(find . -name 'libcorvane_platform.so.1' -print -quit)")
module="$prefix/${libdir#./}/corvane/Corvane.so"

# The baseline's headers replace the installed ones; the library stays this tree's.
git -C "$source" archive --prefix=baseline/ "$baseline" platform port_control examples/host |
  tar -x -C "$scratch"
for header in "$scratch"/baseline/platform/*/include/platform/*.h; do
  cp "$header" "$prefix/include/corvane/platform/"
done
find "$scratch/baseline/port_control" -name portula_ids.h -exec cp {} "$prefix/include/corvane/portula/" \;

cmake -S "$scratch/baseline/examples/host" -B "$scratch/host" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$scratch/host.log" 2>&1 &&
  cmake --build "$scratch/host" >>"$scratch/host.log" 2>&1 ||
  fail "the baseline's example host: $(cat "$scratch/host.log")"

"${CXX:-c++}" -std=c++20 -I"$prefix/include/corvane" "$source/tests/install/error_consumer.cpp" \
  -o "$scratch/error_consumer" -L"$prefix/${libdir#./}" -lcorvane_platform \
  -Wl,-rpath,"$prefix/${libdir#./}" >"$scratch/consumer.log" 2>&1 ||
  fail "the consumer: $(cat "$scratch/consumer.log")"
out=$("$scratch/error_consumer" 2>&1) || fail "the consumer: $out"
echo "$out"

home="$scratch/home"
CORVANE_PLATFORM_HOME="$home" "$prefix/bin/corvane-register" "$module" >/dev/null ||
  fail "registration of $module"
host=$(find "$scratch/host" -maxdepth 1 -type f -executable -name 'portula_*' -print -quit)
[ -n "$host" ] || fail "no host program built in $scratch/host"
out=$(CORVANE_PLATFORM_HOME="$home" "$host" 2>&1) || fail "the baseline's host with this library: $out"
echo "$out"
grep -q "received" <<<"$out" || fail "nothing arrived: $out"
echo "PASS: built against $(git -C "$source" log -1 --format=%h "$baseline"), runs with this library"
