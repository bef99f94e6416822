#!/usr/bin/env bash
# Every C and C++ translation unit of the project names things as .clang-tidy says.
# usage: identifier_naming_test.sh SOURCE_DIR BUILD_DIR [CLANG_TIDY]
set -uo pipefail
root=$1 build=$2 tidy=${3:-clang-tidy}
command -v "$tidy" >/dev/null || { echo "SKIP: $tidy is not installed"; exit 77; }
database="$build/compile_commands.json"
[ -f "$database" ] || { echo "no $database: configure with CMAKE_EXPORT_COMPILE_COMMANDS"; exit 1; }

# CMake writes one "file" line per entry. A file built for several targets is checked once;
# generated files (anything under the build folder) and files from elsewhere are not ours.
mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$database" | grep -E '\.(c|cpp)$' \
  | awk -v root="$root/" -v build="$build/" 'index($0, root) == 1 && index($0, build) != 1' | sort -u)
[ ${#files[@]} -gt 0 ] || { echo "no project files in $database"; exit 1; }

# clang-tidy finds $root/.clang-tidy above each file; --config-file would do the same three times
# slower. The build's -Werror would make errors of warnings that clang has and GCC lacks: not this
# test's business, and once they are warnings again the check list leaves them out.
check_one() {
  local out
  out=$("$tidy" -p "$build" --quiet --extra-arg=-Wno-error --extra-arg=-Wno-unknown-warning-option "$1" 2>&1) ||
    { printf '%s\n' "$out"; return 1; }
}
export -f check_one
export build tidy

if ! printf '%s\0' "${files[@]}" | xargs -0 -n1 -P "$(nproc 2>/dev/null || echo 2)" bash -c 'check_one "$1"' _; then
  echo "Rename as .clang-tidy says, or run: $tidy -p $build --fix FILE"
  exit 1
fi
echo "${#files[@]} translation units name things as .clang-tidy says"
