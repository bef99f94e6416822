#!/bin/bash
# `cmake --install` into prefixes that are not Debian's: each gets the
# libraries, headers, .pc files written for it, manual pages and examples, the
# Python package where that prefix's python3 finds it (or none, saying so), and
# no file of the Debian packaging. Every installed tool, and the Python package
# and example where installed, runs with no LD_LIBRARY_PATH on the libraries of
# its prefix. Then the examples are built from a plain prefix by the commands
# seekwell(7) gives, each folder alone with CMake and through pkg-config, and
# from a Seekwell-only prefix made by the guide's component recipe; every
# program built must load the libraries of its prefix; and the guide's build
# lines are pasted in the example folders they name. No program searches:
# those that would are only started with a bad argument, or not at all.
# usage: prefix_install_test.sh <build-dir> <work-dir> <libdir> <python>
#   libdir: the configured CMAKE_INSTALL_LIBDIR; python: Debian's interpreter
set -euo pipefail
build=$1 work=$2 libdir=$3 python=$4
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
readonly GUIDE=$source_dir/docs/host-developers.md
readonly NOT_INSTALLED_MESSAGE='Python package not installed'
readonly EXAMPLES=share/doc/seekwell/examples
readonly KEYED_DESIGN='design 1: 19 joints, 43 body slots'
# Each example folder: folder|source|compiler|pkg-config modules. Those that
# need GLib or Qt are built where pkg-config finds their modules.
readonly EXAMPLE_FOLDERS=(
    "cpp-body|walk_body.cpp|c++|kinemap"
    "c-discover|discover.c|cc -std=c99|seekwell"
    "c-poll|poll_discover.c|cc -std=c99|seekwell"
    "glib-worker|glib_worker.c|cc -std=c99|seekwell gio-2.0"
    "glib-live|glib_live.c|cc -std=c99|seekwell gio-2.0"
    "qt-live|qt_live.cpp|c++ -std=c++17|seekwell Qt6Widgets"
)
# How each program is started: program|exit status|output|arguments. discover
# and glib_worker search as soon as they start, so they are never run.
readonly PROGRAM_RUNS=(
    "walk_body|0|$KEYED_DESIGN|"
    "poll_discover|2|^usage: poll_discover|forever"
    "glib_live|2|^usage: glib_live|forever"
    "qt_live|2|--stop-after takes a number|--stop-after forever"
)

fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"

# install <log> <prefix> [env...]: the whole install, as `cmake --install` prints it.
install() {
    local log=$1 prefix=$2
    shift 2
    env "$@" cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log"; fail "installing into $prefix"; }
}

# expect_common <root> <prefix>: what every install has, and nothing Debian's.
expect_common() {
    local root=$1 prefix=$2 flags expected debian_files file
    flags=$(PKG_CONFIG_PATH="$root$prefix/$libdir/pkgconfig" pkg-config --cflags --libs seekwell kinemap | xargs)
    expected="-I$prefix/include -L$prefix/$libdir -lseekwell -lkinemap"
    [ "$flags" = "$expected" ] || fail "pkg-config printed '$flags', not '$expected'"
    [ -f "$root$prefix/share/man/man1/seekwell-discover.1" ] || fail "no manual page in $prefix"
    for file in CMakeLists.txt common/terminal_text.h c-poll/CMakeLists.txt cpp-body/walk_body.cpp \
        python/rova_host.py; do
        [ -f "$root$prefix/$EXAMPLES/$file" ] || fail "no $EXAMPLES/$file in $prefix"
    done
    debian_files=$(find "$root$prefix" \( -path '*/lintian/*' -o -name 'changelog.Debian*' -o -name copyright \) -print)
    [ -z "$debian_files" ] || fail "Debian's files outside a Debian package: $debian_files"
}

# expect_python <python> <directory> <prefix>: the interpreter imports both
# packages from the directory and they load the prefix's libraries, with no
# PYTHONPATH and no LD_LIBRARY_PATH.
expect_python() {
    local interpreter=$1 directory=$2 prefix=$3
    env -u PYTHONPATH -u PYTHONHOME -u LD_LIBRARY_PATH \
        "$interpreter" - "$directory" "$prefix/$libdir" <<'PY' || fail "$interpreter did not use the installed package"
import os, sys
import kinemap, seekwell
from seekwell import _libraries
for module in (seekwell, kinemap):
    if os.path.dirname(os.path.dirname(os.path.realpath(module.__file__))) != os.path.realpath(sys.argv[1]):
        sys.exit(f"{module.__name__} was imported from {module.__file__}")
seekwell.library_version()
if kinemap.string(kinemap.StringId.MODEL_1, lang="en") != "TK-42":
    sys.exit("kinemap.string(MODEL_1) is not TK-42")
for library in (_libraries.SEEKWELL, _libraries.KINEMAP):
    loaded = _libraries.load(library)._name
    if os.path.dirname(os.path.realpath(loaded)) != os.path.realpath(sys.argv[2]):
        sys.exit(f"{library.soname} was loaded from {loaded}")
PY
    output=$(env -u PYTHONPATH -u PYTHONHOME -u LD_LIBRARY_PATH \
        "$interpreter" "$prefix/$EXAMPLES/python/rova_host.py" body 2>&1) || fail "rova_host.py body: $output"
    grep -q "^$KEYED_DESIGN" <<<"$output" || fail "rova_host.py body printed: $output"
}

# expect_tools <prefix> <tool...>: each answers --help and --version from the
# prefix with no LD_LIBRARY_PATH.
expect_tools() {
    local prefix=$1 name output
    shift
    for name in "$@"; do
        env -u LD_LIBRARY_PATH "$prefix/bin/$name" --help >/dev/null 2>&1 || fail "$prefix/bin/$name --help failed"
        output=$(env -u LD_LIBRARY_PATH "$prefix/bin/$name" --version 2>&1) || fail "$name --version: $output"
        [[ $output == "$name "[0-9]* ]] || fail "$prefix/bin/$name --version printed: $output"
    done
}

# guide_commands <regex>: the guide's indented command lines that begin with
# the regex, each with its continuation lines joined.
guide_commands() {
    sed -e ':a' -e '/\\$/{N;s/\\\n *//;ta' -e '}' "$GUIDE" | sed -nE "s/^ {4,}(($1).*)/\1/p"
}

echo "== a virtual environment's prefix: into its site-packages"
venv=$work/venv
"$python" -m venv --without-pip "$venv"
install "$work/venv.log" "$venv"
site=$("$venv/bin/python3" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
[ -f "$site/seekwell/__init__.py" ] || fail "the package is not in the environment's $site"
expect_common "" "$venv"
expect_python "$venv/bin/python3" "$site" "$venv"

echo "== /usr/local, staged with DESTDIR: where Debian's python3 looks under /usr/local"
stage=$work/stage
install "$work/local.log" /usr/local DESTDIR="$stage"
local_site=$("$python" -c 'import site, sys
print(next(d for d in site.getsitepackages() if d.startswith("/usr/local/lib/")))')
[ -f "$stage$local_site/seekwell/__init__.py" ] || fail "the package is not in $local_site"
expect_common "$stage" /usr/local

echo "== a prefix no python3 looks in, given relative: the package left out, and said so"
(cd "$work" && install plain.log plain)
grep -q "$NOT_INSTALLED_MESSAGE" "$work/plain.log" || fail "the install did not say the package was left out"
grep -q "configure.*-DROVA_PYTHON_DIR" "$work/plain.log" || fail "the install did not say which option to configure"
[ -z "$(find "$work/plain" -name '*.py' ! -path "*/$EXAMPLES/*" -print)" ] ||
    fail "Python files were installed into $work/plain"
expect_common "" "$work/plain"

echo "== every installed tool, from the plain prefix and from the environment's"
mapfile -t tools < <(ls "$work/plain/bin")
[ "${#tools[@]}" -gt 0 ] || fail "no tool installed"
expect_tools "$work/plain" "${tools[@]}"
expect_tools "$venv" "${tools[@]}"

echo "== -DROVA_PYTHON_DIR relative, configured from another folder: under the prefix"
mkdir "$work/elsewhere"
(cd "$work/elsewhere" && cmake -S "$source_dir" -B "$work/python-dir-build" -DROVA_BUILD_TESTS=OFF \
    -DROVA_BUILD_BENCHMARKS=OFF -DROVA_PYTHON_DIR=lib/python3/dist-packages) >"$work/python-dir.log" 2>&1 &&
    cmake --install "$work/python-dir-build" --prefix "$work/python-dir" --component python \
        >>"$work/python-dir.log" 2>&1 || { cat "$work/python-dir.log"; fail "configuring with a relative ROVA_PYTHON_DIR"; }
[ -f "$work/python-dir/lib/python3/dist-packages/seekwell/__init__.py" ] || fail "the package is not under the prefix"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "the package went where cmake was configured"

# expect_loads_from <prefix> <program>: every ROVA library the program needs
# resolves into the prefix, with no LD_LIBRARY_PATH.
expect_loads_from() {
    local prefix=$1 program=$2 libraries
    [ -x "$program" ] || fail "$program was not built"
    libraries=$(env -u LD_LIBRARY_PATH ldd "$program" | grep -E 'lib(seekwell|kinemap)\.so') ||
        fail "$program links neither library"
    ! grep -v "=> $prefix/$libdir/lib" <<<"$libraries" || fail "$program does not load the libraries from $prefix"
}

# buildable_examples [seekwell]: the entries of EXAMPLE_FOLDERS whose GLib or
# Qt modules are installed; with "seekwell", only Seekwell's.
buildable_examples() {
    local entry folder source compiler modules
    for entry in "${EXAMPLE_FOLDERS[@]}"; do
        IFS='|' read -r folder source compiler modules <<<"$entry"
        [ "${1:-}" != seekwell ] || [ "${modules%% *}" = seekwell ] || continue
        # shellcheck disable=SC2086 # the modules are a list of words
        [ "${modules#* }" = "$modules" ] || pkg-config --exists ${modules#* } || continue
        echo "$entry"
    done
}

# expect_runs <dir>: each program of PROGRAM_RUNS built in dir (any of its
# builds: name, name-pc) exits as expected and prints what it should.
expect_runs() {
    local dir=$1 entry name status pattern arguments program output code
    for entry in "${PROGRAM_RUNS[@]}"; do
        IFS='|' read -r name status pattern arguments <<<"$entry"
        for program in "$dir/$name" "$dir/$name-pc"; do
            [ -e "$program" ] || continue
            code=0
            # shellcheck disable=SC2086 # the arguments are a list of words
            output=$(env -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen timeout 10 "$program" $arguments 2>&1) ||
                code=$?
            [ "$code" -eq "$status" ] || fail "$program $arguments exited with $code, not $status: $output"
            grep -Eq -- "$pattern" <<<"$output" || fail "$program $arguments did not print /$pattern/: $output"
        done
    done
}

# build_alone <prefix> <examples> <out> <entry...>: each entry's folder as a
# project of its own, the prefix named by CMAKE_PREFIX_PATH; its program lands
# in out.
build_alone() {
    local prefix=$1 examples=$2 out=$3 entry folder
    shift 3
    for entry in "$@"; do
        folder=${entry%%|*}
        cmake -S "$examples/$folder" -B "$out/$folder" -DCMAKE_PREFIX_PATH="$prefix" >"$out/$folder.log" 2>&1 &&
            cmake --build "$out/$folder" -j2 >>"$out/$folder.log" 2>&1 ||
            { cat "$out/$folder.log"; fail "building $folder alone against $prefix"; }
        find "$out/$folder" -maxdepth 1 -type f -executable -exec cp {} "$out" \;
    done
}

# build_with_pkg_config <prefix> <examples> <out> <entry...>: each entry of
# EXAMPLE_FOLDERS as seekwell(7) says, with an rpath to the prefix's libraries,
# as <program>-pc.
build_with_pkg_config() {
    local prefix=$1 examples=$2 out=$3 entry folder source compiler modules
    shift 3
    for entry in "$@"; do
        IFS='|' read -r folder source compiler modules <<<"$entry"
        export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
        # shellcheck disable=SC2046,SC2086 # the compiler, modules and flags are lists of words
        $compiler -I"$examples/common" "$examples/$folder/$source" -o "$out/${source%.*}-pc" \
            $(pkg-config --cflags --libs $modules) -Wl,-rpath,"$(pkg-config --variable=libdir ${modules%% *})" ||
            fail "building $source through pkg-config"
        unset PKG_CONFIG_PATH
    done
}

# programs <entry...>: the program each entry of EXAMPLE_FOLDERS builds.
programs() {
    local entry
    for entry in "$@"; do
        entry=$(cut -d'|' -f2 <<<"$entry")
        echo "${entry%.*}"
    done
}

echo "== the examples of the plain prefix, each folder alone with CMake, and through pkg-config"
plain=$work/plain
built=$work/examples-plain
mkdir -p "$built"
installed=("$plain/$EXAMPLES"/*/CMakeLists.txt)
[ "${#installed[@]}" -eq "${#EXAMPLE_FOLDERS[@]}" ] || fail "example folders installed: ${installed[*]}"
mapfile -t examples < <(buildable_examples)
build_alone "$plain" "$plain/$EXAMPLES" "$built" "${examples[@]}"
build_with_pkg_config "$plain" "$plain/$EXAMPLES" "$built" "${examples[@]}"
for program in $(programs "${examples[@]}"); do
    expect_loads_from "$plain" "$built/$program"
    expect_loads_from "$plain" "$built/$program-pc"
done
expect_runs "$built"
echo "   built and started: $(programs "${examples[@]}" | xargs)"

echo "== a Seekwell-only prefix by the guide's recipe: its finder helper, its examples, without Kinemap"
seekwell_only=$work/seekwell-only
recipe=$(guide_commands 'for part in ')
[ -n "$recipe" ] || fail "no component recipe in $GUIDE"
mkdir "$work/recipe" && ln -s "$build" "$work/recipe/build"
(cd "$work/recipe" && PREFIX=$seekwell_only bash -euc "$recipe") >"$work/seekwell-only.log" 2>&1 ||
    { cat "$work/seekwell-only.log"; fail "the guide's component recipe: $recipe"; }
if [ -e "$build/discovery/seekwell/seekwell-finder-gupnp" ]; then
    [ -x "$seekwell_only/$libdir/seekwell/seekwell-finder-gupnp" ] || fail "no finder helper in $seekwell_only"
fi
[ -z "$(find "$seekwell_only" -iname '*kinemap*' -print)" ] || fail "Kinemap's files in $seekwell_only"
[ ! -e "$seekwell_only/$EXAMPLES/cpp-body" ] || fail "the Seekwell-only install has the Kinemap example"
built=$work/examples-seekwell-only
cmake -S "$seekwell_only/$EXAMPLES" -B "$built" -DCMAKE_PREFIX_PATH="$seekwell_only" >"$built.log" 2>&1 &&
    cmake --build "$built" -j2 >>"$built.log" 2>&1 || { cat "$built.log"; fail "building the Seekwell-only examples"; }
mapfile -t examples < <(buildable_examples seekwell)
for program in $(programs "${examples[@]}"); do
    expect_loads_from "$seekwell_only" "$built/$program"
done
# All the examples, cpp-body among them, with no Kinemap to be found: it is left out, said so.
cmake -S "$plain/$EXAMPLES" -B "$work/examples-no-kinemap" -DCMAKE_PREFIX_PATH="$seekwell_only" \
    -DCMAKE_DISABLE_FIND_PACKAGE_Kinemap=ON >"$work/examples-no-kinemap.log" 2>&1 ||
    { cat "$work/examples-no-kinemap.log"; fail "configuring the examples without Kinemap"; }
grep -q "cpp-body is not built" "$work/examples-no-kinemap.log" || fail "no word that cpp-body is left out"

echo "== the guide's build lines, pasted in the example folders they name"
plain_examples=$plain/$EXAMPLES
mkdir "$work/pasted"
pasted=()
while IFS= read -r line; do
    modules=$(sed -nE 's/.*pkg-config --cflags --libs ([^)]*)\).*/\1/p' <<<"$line")
    # shellcheck disable=SC2086 # the modules are a list of words
    PKG_CONFIG_PATH=$plain/$libdir/pkgconfig pkg-config --exists $modules || continue
    # shellcheck disable=SC2016 # the guide's own variable, as written there
    if [[ $line == *'$examples/'* ]]; then
        folder=$work/pasted
    else
        source=$(grep -oE '[^ ]+\.(c|cpp)( |$)' <<<"$line" | head -1 | xargs)
        folder=$(find "$plain_examples" -mindepth 2 -maxdepth 2 -name "$source" -printf '%h\n' | head -1)
        [ -n "$folder" ] || continue  # a host of your own (host.c), in no example folder
    fi
    (cd "$folder" && PREFIX=$plain examples=$plain_examples PKG_CONFIG_PATH=$plain/$libdir/pkgconfig bash -euc "$line") ||
        fail "pasted in $folder: $line"
    pasted+=("${line%% -o *}")
done < <(guide_commands 'cc |c\+\+ ')
[ "${#pasted[@]}" -ge 2 ] || fail "the guide's build lines were not found: ${pasted[*]}"
printf '   pasted: %s\n' "${pasted[@]}"

echo "every prefix got what fits it, and its examples build and load its libraries"
