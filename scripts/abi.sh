#!/usr/bin/env bash
# The platform library's ABI against the baseline committed under abi/: the exported symbols
# (abi/libcorvane_platform.exports) and the functions and types it exports
# (abi/libcorvane_platform.abi, written by abidw from abigail-tools).
#
#   scripts/abi.sh check  BUILD_DIR   fails on any difference from the baseline
#   scripts/abi.sh update BUILD_DIR   writes the baseline from BUILD_DIR's library
#
# Only what the library exports counts, with the types its exported functions and variables
# reach; the state that classes keep behind a handle is left out
# (abi/state_behind_handles.suppr), so it may change freely. A compatible addition (a new function, a new symbol)
# fails the check too, until the baseline is updated in the same commit; an incompatible
# change needs a new SONAME instead.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mode="${1:-}"
build="${2:-}"
if [ "$mode" != check ] && [ "$mode" != update ] || [ -z "$build" ]; then
  echo "usage: scripts/abi.sh check|update BUILD_DIR" >&2
  exit 2
fi
for tool in abidw abidiff nm c++filt readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "abi.sh: $tool is missing (scripts/setup.sh installs abigail-tools and binutils)" >&2
    exit 1
  fi
done

library="$(readlink -f "$build/bin/libcorvane_platform.so.1")"
baseline_abi="$top/abi/libcorvane_platform.abi"
baseline_exports="$top/abi/libcorvane_platform.exports"
behind_handles="$top/abi/state_behind_handles.suppr"
baseline_toolchain="$top/abi/toolchain"
other_toolchain="$top/abi/other_toolchain.suppr"

# The major version of the GCC that compiled the library, from its debug information.
compiler_major() {
  local producer
  producer=$( (readelf --debug-dump=info "$1" 2>/dev/null || true) | grep -m1 'DW_AT_producer' || true)
  sed -n 's/.*GNU C++[0-9]* \([0-9]*\)\..*/gcc \1/p' <<<"$producer"
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Every defined dynamic symbol with its version, mangled, one a line.
nm -D --defined-only --with-symbol-versions "$library" | awk '{ print $3 }' | LC_ALL=C sort \
  >"$work/exports"
# Type ids by hash, without paths or source locations: an update changes only the lines of
# what changed.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash \
  --suppressions "$behind_handles" --out-file "$work/abi" "$library"

if [ "$mode" = update ]; then
  mkdir -p "$top/abi"
  cp "$work/exports" "$baseline_exports"
  cp "$work/abi" "$baseline_abi"
  compiler_major "$library" >"$baseline_toolchain"
  echo "abi.sh: baseline written from $library ($(wc -l <"$baseline_exports") exported symbols)"
  exit 0
fi

if [ ! -f "$baseline_abi" ] || [ ! -f "$baseline_exports" ]; then
  echo "abi.sh: no baseline under abi/: run scripts/abi.sh update $build" >&2
  exit 1
fi

how_to_update="If the change is a compatible addition, update the baseline in the same commit:
  scripts/abi.sh update $build && git add abi/
If it removes or changes anything a program built against the baseline uses, it needs a new
SONAME instead (and a new baseline)."

failed=0
removed="$(LC_ALL=C comm -23 "$baseline_exports" "$work/exports")"
added="$(LC_ALL=C comm -13 "$baseline_exports" "$work/exports")"
if [ -n "$removed" ]; then
  echo "abi.sh: symbols the baseline exports are gone (programs using them fail to load):"
  echo "$removed" | c++filt | sed 's/^/  - /'
  failed=1
fi
if [ -n "$added" ]; then
  echo "abi.sh: symbols exported that the baseline lacks:"
  echo "$added" | c++filt | sed 's/^/  + /'
  failed=1
fi

suppressions=(--suppressions "$behind_handles")
toolchain="$(compiler_major "$library")"
if [ "$toolchain" != "$(cat "$baseline_toolchain" 2>/dev/null)" ]; then
  echo "abi.sh: built with $toolchain, the baseline with $(cat "$baseline_toolchain" 2>/dev/null): the standard library's insides are not compared"
  suppressions+=(--suppressions "$other_toolchain")
fi
set +e
abidiff --no-show-locs "${suppressions[@]}" "$baseline_abi" "$library" >"$work/abidiff" 2>&1
status=$?
set -e
if [ "$status" -ne 0 ]; then
  # abidiff's status bits: 1 error, 2 usage, 4 a change, 8 an incompatible change.
  if [ $((status & 8)) -ne 0 ]; then
    echo "abi.sh: an incompatible ABI change against abi/libcorvane_platform.abi:"
  elif [ $((status & 4)) -ne 0 ]; then
    echo "abi.sh: the ABI changed against abi/libcorvane_platform.abi:"
  else
    echo "abi.sh: abidiff failed (status $status):"
  fi
  sed 's/^/  /' "$work/abidiff"
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo
  echo "$how_to_update"
  exit 1
fi
echo "abi.sh: $(wc -l <"$work/exports") exported symbols, the same ABI as the baseline"
