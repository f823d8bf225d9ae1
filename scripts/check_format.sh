#!/usr/bin/env bash
# Checks that every C++ file of the tree (*.h, *.cpp, outside the build folders) is formatted
# as the root .clang-format says. Prints the places that differ and exits non-zero if any.
# To fix them: clang-format -i FILE ...
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

mapfile -d '' files < <(find "$top" -type d \( -name '.git' -o -name 'build*' \) -prune -o \
  -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
if [ ${#files[@]} -eq 0 ]; then
  echo "check_format.sh: no C++ file found under $top" >&2
  exit 2
fi
clang-format --dry-run --Werror "${files[@]}"
echo "check_format.sh: ${#files[@]} files formatted"
