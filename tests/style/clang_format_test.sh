#!/usr/bin/env bash
# Every C and C++ file of the project is formatted as .clang-format says.
# usage: clang_format_test.sh SOURCE_DIR
set -uo pipefail
root=$1
command -v clang-format >/dev/null || { echo "SKIP: clang-format is not installed"; exit 77; }

mapfile -d '' files < <(find "$root"/discovery "$root"/body "$root"/tools "$root"/tests \
  "$root"/bench "$root"/fuzz "$root"/examples \
  -path "$root/fuzz/corpus" -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0)
[ ${#files[@]} -gt 0 ] || { echo "no source files under $root"; exit 1; }

if ! clang-format --style=file --dry-run --Werror "${files[@]}"; then
  echo "Run: clang-format -i \$(git ls-files '*.c' '*.cpp' '*.h')"
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
