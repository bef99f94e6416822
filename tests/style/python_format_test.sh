#!/usr/bin/env bash
# Every Python file of the project is formatted by black, at .clang-format's column limit of 120.
# usage: python_format_test.sh SOURCE_DIR
set -uo pipefail
root=$1
readonly BLACK_OPTIONS=(--line-length 120 --target-version py39)
command -v black >/dev/null || { echo "SKIP: black is not installed (Debian package black)"; exit 77; }

mapfile -d '' files < <(find "$root" -path "$root/build*" -prune -o -path "$root/.git" -prune -o \
  -type f -name '*.py' -print0)
[ ${#files[@]} -gt 0 ] || { echo "no Python files under $root"; exit 1; }

if ! black --check --quiet "${BLACK_OPTIONS[@]}" "${files[@]}"; then
  black --diff --quiet "${BLACK_OPTIONS[@]}" "${files[@]}" | head -40
  echo "Run: black ${BLACK_OPTIONS[*]} \$(git ls-files '*.py')"
  exit 1
fi
echo "${#files[@]} Python files formatted by black"
