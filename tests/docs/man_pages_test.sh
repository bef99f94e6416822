#!/usr/bin/env bash
# The manual pages as a reader gets them: every page renders without a warning, and the example
# programs of the section-3 pages build against this tree's headers and libraries and print what
# the pages say they print.
#
# usage: man_pages_test.sh render MAN_DIR WORK_DIR
#        man_pages_test.sh examples MAN_DIR WORK_DIR CC CXX EXTRA_FLAGS \
#                          SEEKWELL_INCLUDE SEEKWELL_LIBRARY KINEMAP_INCLUDE KINEMAP_LIBRARY
set -uo pipefail
mode=$1 man_dir=$2 work=$3
rm -rf "$work" && mkdir -p "$work"

# Lays the pages out as man finds them once installed, so that a ".so man3/X.3" page resolves.
# A page ending in .in is a template expanded at build time: only its expansion is a page.
lay_out_pages() {
  local page section
  for page in "$man_dir"/*.[0-9]; do
    section=${page##*.}
    mkdir -p "$work/man$section"
    cp "$page" "$work/man$section/"
  done
}

render_pages() {
  command -v man >/dev/null || { echo "SKIP: man is not installed (Debian package man-db)"; exit 77; }
  lay_out_pages
  local page warnings failed=0 count=0
  cd "$work" || exit 1
  for page in man*/*; do
    # 80 columns: a table wider than a terminal is a fault of the page.
    warnings=$(MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "$page:"
      echo "$warnings"
      failed=1
    fi
    count=$((count + 1))
  done
  [ -e man3/DiscoveryROVAByUPnP.3 ] || { echo "no section-3 pages in $man_dir"; exit 1; }
  echo "$count pages rendered"
  exit $failed
}

# extract_block PAGE NAME: the lines between the comments '.\" NAME begin' and '.\" NAME end',
# with the roff escapes the examples use turned back into plain text.
extract_block() {
  sed -n "/^\.\\\\\" $2 begin\$/,/^\.\\\\\" $2 end\$/{//!p}" "$1" |
    sed -e 's/\\(dq/"/g' -e "s/\\\\(aq/'/g" -e 's/\\-/-/g' -e 's/\\&//g' -e 's/\\e/\\/g'
}

# check_example PAGE COMPILER SUFFIX INCLUDE LIBRARY RUN
check_example() {
  local page=$1 compiler=$2 suffix=$3 include=$4 library=$5 run=$6
  local name source program output line
  name=$(basename "$page" .3)
  source=$work/$name.$suffix
  program=$work/$name
  extract_block "$page" example >"$source"
  [ -s "$source" ] || { echo "$name: no example found"; return 1; }
  # shellcheck disable=SC2086 # the compiler with its flags, and EXTRA_FLAGS, are lists of words
  if ! $compiler $extra_flags -Wall -Wextra -Werror -I"$include" "$source" -o "$program" \
    "$library" -Wl,-rpath,"$(dirname "$library")"; then
    echo "$name: the example does not build"
    return 1
  fi
  [ "$run" = run ] || { echo "$name: example builds"; return 0; }
  if ! output=$("$program"); then
    echo "$name: the example failed"
    return 1
  fi
  while IFS= read -r line; do
    if ! grep -qFx -- "$line" <<<"$output"; then
      echo "$name: the page shows the line '$line', the program does not print it"
      return 1
    fi
  done < <(extract_block "$page" output)
  echo "$name: example builds and prints what the page shows"
}

check_examples() {
  local cc=$4 cxx=$5
  extra_flags=$6
  local seekwell_include=$7 seekwell_library=$8 kinemap_include=$9 kinemap_library=${10}
  local failed=0
  # The discovery example searches the real network: it is built, never run.
  check_example "$man_dir/DiscoveryROVAByUPnP.3" "$cc -std=c99 -pedantic" c \
    "$seekwell_include" "$seekwell_library" build-only || failed=1
  check_example "$man_dir/KinemapLoadString.3" "$cc -std=c99 -pedantic" c \
    "$kinemap_include" "$kinemap_library" run || failed=1
  check_example "$man_dir/CKinemap.3" "$cxx" cpp "$kinemap_include" "$kinemap_library" run || failed=1
  exit $failed
}

case $mode in
render) render_pages ;;
examples) check_examples "$@" ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
