#!/usr/bin/env bash
# The manual pages as a reader gets them: every page renders without a warning and has a NAME line
# that whatis and apropos can index; every function the public headers export is named by a
# section-3 page, and every library page is installed; the example programs of the section-3 pages
# build against this tree's headers and libraries and print what the pages say they print.
#
# usage: man_pages_test.sh render MAN_DIR WORK_DIR
#        man_pages_test.sh coverage MAN_DIR WORK_DIR INSTALLED_PAGES HEADER...
#          (INSTALLED_PAGES: the library pages the build installs, separated by commas)
#        man_pages_test.sh examples MAN_DIR WORK_DIR CC CXX EXTRA_FLAGS \
#                          SEEKWELL_INCLUDE SEEKWELL_LIBRARY KINEMAP_INCLUDE KINEMAP_LIBRARY \
#                          [ROBOT_SIMULATOR]
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
    # The NAME line is what whatis and apropos index: a page whose NAME lexgrog cannot read is
    # found by no search.
    if ! lexgrog "$page" >/dev/null 2>&1; then
      echo "$page: lexgrog cannot read its NAME section"
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

# run_on_lan PROGRAM SIMULATOR_ARGS...: runs the program on the client host of a private LAN of
# its own, where the simulator answers as the arguments say. Named as the end-to-end tests name
# theirs, so that they remove it should this run be killed before its cleanup.
run_on_lan() {
  local program=$1 status
  shift
  trap simlan_destroy EXIT
  simlan_create "swe2e-$$" 8 >/dev/null || return 1
  simlan_start_sim "$simulator" --duration 60 "$@" >/dev/null || return 1
  simlan_client "$program"
  status=$?
  simlan_destroy
  return $status
}

# check_example PAGE COMPILER SUFFIX INCLUDE LIBRARY RUN [SIMULATOR_ARGS...]
check_example() {
  local page=$1 compiler=$2 suffix=$3 include=$4 library=$5 run=$6
  shift 6
  local name source program output line status
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
  if [ "$run" = lan ] && { [ -z "$simulator" ] || ! simlan_can_run "$name: not run"; }; then
    run=build-only
  fi
  case $run in
  run)
    output=$("$program")
    status=$?
    ;;
  lan)
    output=$(run_on_lan "$program" "$@")
    status=$?
    ;;
  *)
    echo "$name: example builds"
    return 0
    ;;
  esac
  if [ $status -ne 0 ]; then
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

# The pages with an example program: its language, the library it uses, and where it runs: here,
# nowhere (build-only), or on a private LAN of its own (lan, then the simulator's arguments;
# built only where no such LAN can be made). A discovery never runs on the real network.
example_pages() {
  cat <<'TABLE'
DiscoveryROVAByUPnP.3       c    seekwell  build-only
seekwell_search_start.3     c    seekwell  lan  --robots 3 --fault 2:no-marker
seekwell_search_wait.3      c    seekwell  build-only
seekwell_version.3          c    seekwell  run
seekwell_check_targets.3    c    seekwell  run
KinemapLoadString.3         c    kinemap   run
CKinemap.3                  cpp  kinemap   run
TABLE
}

check_examples() {
  local cc=$4 cxx=$5
  extra_flags=$6
  local -A include=([seekwell]=$7 [kinemap]=$9) library=([seekwell]=$8 [kinemap]=${10})
  local -A compiler=([c]="$cc -std=c99 -pedantic" [cpp]=$cxx)
  local page language uses run failed=0 listed
  local simulator_args
  simulator=${11:-}
  source "$(dirname "${BASH_SOURCE[0]}")/../support/private_lan.sh"
  while read -r page language uses run simulator_args; do
    # shellcheck disable=SC2086 # the simulator's arguments are a list of words
    check_example "$man_dir/$page" "${compiler[$language]}" "$language" "${include[$uses]}" \
      "${library[$uses]}" "$run" $simulator_args || failed=1
  done < <(example_pages)
  # An example the table does not name would go unchecked.
  listed=$(example_pages | awk '{ print $1 }')
  for page in "$man_dir"/*.[0-9]; do
    if grep -q '^\.\\" example begin$' "$page" && ! grep -qFx "$(basename "$page")" <<<"$listed"; then
      echo "$(basename "$page"): has an example the test does not build"
      failed=1
    fi
  done
  exit $failed
}

# The names a page documents, as whatis lists them: "a, b \- what they do" gives a and b.
documented_names() {
  lexgrog "$1" 2>/dev/null | sed -E 's/^[^"]*"//; s/ - .*//; s/, /\n/g'
}

check_coverage() {
  local installed=",$4,"
  shift 4
  local page name failed=0 names exported
  command -v lexgrog >/dev/null || { echo "SKIP: lexgrog is not installed (Debian package man-db)"; exit 77; }
  # Every exported function, however its declaration wraps: the name before the first '('.
  if ! exported=$(grep -hE '^[A-Z]+_API [^(]*\(' "$@" | sed -E 's/\(.*//; s/.*[ *]//') ||
    [ -z "$exported" ]; then
    echo "no exported function found in $*"
    exit 1
  fi
  lay_out_pages
  cd "$work" || exit 1
  names=$(for page in man3/*; do documented_names "$page"; done)
  while read -r name; do
    if ! grep -qFx "$name" <<<"$names"; then
      echo "$name: exported, but no section-3 page names it"
      failed=1
    fi
  done <<<"$exported"
  # Every library page in the tree is installed, and every installed one is in the tree.
  for page in man3/* man7/*; do
    if [[ $installed != *",${page#man?/},"* ]]; then
      echo "$page: not installed with the library packages"
      failed=1
    fi
  done
  for page in ${installed//,/ }; do
    [ -e "man${page##*.}/$page" ] || { echo "$page: installed, but not in $man_dir"; failed=1; }
  done
  echo "$(wc -w <<<"$names") names documented"
  exit $failed
}

case $mode in
render) render_pages ;;
coverage) check_coverage "$@" ;;
examples) check_examples "$@" ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
