#!/usr/bin/env bash
# Runs clang-tidy with the checks of the root .clang-tidy over every C++ source of the tree
# that a build compiles, using that build's compile commands (default: <checkout>/build-clang,
# which scripts/test.sh makes). Exits non-zero on any finding.
#
#   scripts/tidy.sh [build-folder]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build-clang}"
commands="$build/compile_commands.json"
if [ ! -f "$commands" ]; then
  echo "tidy.sh: $commands is missing: configure a build there first" >&2
  exit 2
fi

# The tree's own sources; files the build generates (moc, header checks) are not ours to tidy.
mapfile -t sources < <(grep -o '"file": *"[^"]*"' "$commands" | sed 's/^"file": *"\(.*\)"$/\1/' |
  grep "^$top/" | grep -v "^$top/build" | sort -u)
if [ ${#sources[@]} -eq 0 ]; then
  echo "tidy.sh: no source of $top in $commands" >&2
  exit 2
fi
echo "tidy.sh: ${#sources[@]} sources"
printf '%s\0' "${sources[@]}" |
  xargs -0 -n 8 -P "$(nproc)" clang-tidy -p "$build" --quiet 2>/dev/null
echo "tidy.sh: clean"
