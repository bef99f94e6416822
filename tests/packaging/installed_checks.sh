# Checks of the installed Debian packages, sourced by the autopkgtest scripts
# in debian/tests/ (each runs from the source tree's root). Only the packages
# of this source that are installed are checked.

# Debian's tools and interpreter, whatever PATH the caller's profile sets.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=${AUTOPKGTEST_TMP:?run by autopkgtest, which sets AUTOPKGTEST_TMP}

readonly KEYED_DESIGN_SLOT_37='slot 37  PRM:/r1/c1/c2/c3-Joint2:13 +joint  3 \(id 2023\)'
readonly ROBOTS=3
readonly ODD_NAME_ROBOT=2
readonly FINDER_PACKAGE=libseekwell2-finder-gupnp
readonly GLIB_STACK='glib|gupnp|gssdp|soup'
readonly LIBRARY_PAGES=(DiscoveryROVAByUPnP seekwell_search_start seekwell_search_fd seekwell_search_dispatch
                        seekwell_search_wait seekwell_search_cancel seekwell_search_free seekwell_blocking_search_path
                        seekwell_version seekwell_check_targets
                        CKinemap KinemapLoadString KinemapGetString)
readonly PYTHON_PACKAGE=python3-seekwell
readonly DIST_PACKAGES=/usr/lib/python3/dist-packages
# Debian's interpreter as a host starts it, finding the package and the
# libraries where the packages put them and nowhere else.
readonly SYSTEM_PYTHON=(env -u PYTHONPATH -u LD_LIBRARY_PATH -u PYTHONHOME /usr/bin/python3)

fail() { echo "FAILED: $*" >&2; exit 1; }

installed_package() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

# The binary packages of this source that are installed.
packages=()
for package in $(sed -n 's/^Package: //p' "$source_dir/debian/control"); do
    ! installed_package "$package" || packages+=("$package")
done
PACKAGE_VERSION=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
readonly PACKAGE_VERSION

namespaces=()
remove_namespaces() {
    local namespace
    for namespace in "${namespaces[@]}"; do ip netns pids "$namespace" 2>/dev/null | xargs -r kill; done
    for namespace in "${namespaces[@]}"; do ip netns delete "$namespace" 2>/dev/null || true; done
}
trap remove_namespaces EXIT

# expect_output <regex> <command...>: runs the command, fails unless its
# output matches.
expect_output() {
    local pattern=$1 output
    shift
    output=$("$@" 2>&1) || fail "$* exited with $?: $output"
    grep -Eq -- "$pattern" <<<"$output" || fail "$* did not print /$pattern/; it printed: $output"
}

check_installed_files() {
    echo "== installed files"
    local libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH) library
    for library in kinemap seekwell; do
        installed_package "lib${library}2" || continue
        [ -f "$libdir/lib$library.so.$PACKAGE_VERSION" ] || fail "lib$library.so.$PACKAGE_VERSION missing"
        # Read whole: grep -q would stop reading early, and under pipefail ldconfig's SIGPIPE fails the check.
        grep -q "lib$library.so.2 " <<<"$(ldconfig -p)" || fail "ldconfig does not know lib$library.so.2"
        [ "$(pkg-config --modversion "$library")" = "$PACKAGE_VERSION" ] ||
            fail "pkg-config $library does not give $PACKAGE_VERSION"
    done
    check_installed_tools
    check_gupnp_dependency
    check_libcurl_dependency
    check_pkg_config_flags
    check_version_macros
    check_library_pages
    check_python_package
}


# The Python package imports from Debian's module directory, byte-compiled by
# its postinst, and its metadata gives the package's upstream version.
check_python_package() {
    installed_package "$PYTHON_PACKAGE" || return 0
    local upstream
    upstream=$(dpkg-query -W -f='${Version}' "$PYTHON_PACKAGE")
    upstream=${upstream%-*}
    "${SYSTEM_PYTHON[@]}" - "$DIST_PACKAGES" "$upstream" <<'PY' || fail "$PYTHON_PACKAGE: see above"
import importlib.metadata, pathlib, sys
import kinemap, seekwell
from seekwell import _libraries

directory, version = pathlib.Path(sys.argv[1]), sys.argv[2]
problems = []
for module in (_libraries, seekwell, kinemap):
    if not pathlib.Path(module.__file__).is_relative_to(directory):
        problems.append(f"{module.__name__} is imported from {module.__file__}")
for module in (seekwell, kinemap):
    if not (directory / module.__name__ / "py.typed").is_file():
        problems.append(f"{module.__name__} has no py.typed")
    if not any((directory / module.__name__ / "__pycache__").glob("__init__.*.pyc")):
        problems.append(f"{module.__name__} was not byte-compiled on installation")
if importlib.metadata.version("seekwell") != version:
    problems.append(f"importlib.metadata gives version {importlib.metadata.version('seekwell')}")
for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
}

# Installed into /usr, the .pc files name the system directories plainly, so
# pkg-config leaves them out.
check_pkg_config_flags() {
    installed_package libseekwell-dev && installed_package libkinemap-dev || return 0
    local flags
    flags=$(pkg-config --cflags --libs seekwell kinemap | xargs)
    [ "$flags" = "-lseekwell -lkinemap" ] ||
        fail "pkg-config --cflags --libs seekwell kinemap printed '$flags', not '-lseekwell -lkinemap'"
}

# The version macros of the installed headers name the packages' upstream
# version.
check_version_macros() {
    local package header macro upstream text
    for package in libseekwell-dev:seekwell/seekwell.h:SEEKWELL_VERSION_TEXT \
                   libkinemap-dev:kinemap/kinemap.h:KINEMAP_VERSION_TEXT; do
        IFS=: read -r package header macro <<<"$package"
        installed_package "$package" || continue
        upstream=$(dpkg-query -W -f='${Version}' "$package")
        upstream=${upstream%-*}
        text=$(sed -En "s/^#[[:space:]]*define[[:space:]]+$macro[[:space:]]+\"([^\"]*)\".*/\1/p" \
            "/usr/include/$header")
        [ "$text" = "$upstream" ] || fail "$macro is \"$text\" but $package is version $upstream"
    done
}

# The section-3 pages of the libraries.
check_library_pages() {
    local page
    for page in "${LIBRARY_PAGES[@]}"; do
        man -w 3 "$page" >/dev/null 2>&1 || fail "man -w 3 $page finds no page"
    done
}

# Every installed tool has its manual page, answers --help and reports its
# name and the package version.
check_installed_tools() {
    local tool
    for tool in $(dpkg -L seekwell-tools | grep '^/usr/bin/'); do
        man -w "$(basename "$tool")" >/dev/null 2>&1 || fail "no manual page for $tool"
        "$tool" --help >/dev/null || fail "$tool --help exited with $?"
        expect_output "^$(basename "$tool") $PACKAGE_VERSION\$" "$(basename "$tool")" --version
    done
}

# Only the finder helper's package may pull GLib and GUPnP in: libseekwell2
# recommends it, so --no-install-recommends gives a library without GLib.
check_gupnp_dependency() {
    local package
    for package in "${packages[@]}"; do
        if dpkg-query -W -f='${Depends}' "$package" | grep -Eq "$GLIB_STACK"; then
            [ "$package" = "$FINDER_PACKAGE" ] || fail "$package depends on GLib, GUPnP, GSSDP or libsoup"
        fi
    done
    installed_package libseekwell2 || return 0
    ! grep -Eq "$GLIB_STACK" <<<"$(readelf -d "$(dpkg -L libseekwell2 | grep '/libseekwell\.so\.2$')")" ||
        fail "libseekwell.so.2 itself links the GLib stack"
    ! dpkg -L libseekwell2 | grep -q '/seekwell-finder-gupnp$' || fail "libseekwell2 ships the finder helper"
    grep -Eq "(^|, )$FINDER_PACKAGE(\$| |,)" <<<"$(dpkg-query -W -f='${Recommends}' libseekwell2)" ||
        fail "libseekwell2 does not recommend $FINDER_PACKAGE"
    installed_package "$FINDER_PACKAGE" || return 0
    local helper
    helper=$(dpkg -L "$FINDER_PACKAGE" | grep '/seekwell/seekwell-finder-gupnp$') ||
        fail "$FINDER_PACKAGE has no finder helper"
    [ -x "$helper" ] || fail "the finder helper $helper is not executable"
    dpkg-query -W -f='${Depends}' "$FINDER_PACKAGE" | grep -q gupnp ||
        fail "$FINDER_PACKAGE does not depend on GUPnP although its helper needs it"
    grep -q "libseekwell2 (= $(dpkg-query -W -f='${Version}' libseekwell2))" \
        <<<"$(dpkg-query -W -f='${Depends}' "$FINDER_PACKAGE")" ||
        fail "$FINDER_PACKAGE does not depend on exactly its libseekwell2"
}

# libseekwell loads libcurl with dlopen: nothing links it, the package still
# depends on it, and the library's dlopen note declares it.
check_libcurl_dependency() {
    installed_package libseekwell2 || return 0
    local library
    library=$(dpkg -L libseekwell2 | grep '/libseekwell\.so\.2$')
    ! grep -q curl <<<"$(readelf -d "$library")" || fail "libseekwell.so.2 links libcurl"
    grep -Eq '(^|, )libcurl[^ ]* \(>= 7\.85\.0\)' <<<"$(dpkg-query -W -f='${Depends}' libseekwell2)" ||
        fail "libseekwell2 does not depend on libcurl 7.85.0 or later"
    grep -q '"soname":\["libcurl\.so\.4"\]' <<<"$(readelf -p .note.dlopen "$library")" ||
        fail "libseekwell.so.2 has no dlopen note naming libcurl.so.4"
}

# The examples each development package installs.
installed_examples() { echo "/usr/share/doc/$1/examples"; }

# The Python example host: the installed copy, where the Python package is installed.
python_example() {
    if installed_package "$PYTHON_PACKAGE"; then
        echo "$(installed_examples "$PYTHON_PACKAGE")/rova_host.py"
    else
        echo "$1/python/rova_host.py"
    fi
}

# Builds the installed examples against the installed development files,
# through the CMake packages and through pkg-config.
build_examples() {
    local out=$1 package
    echo "== building the installed examples"
    for package in libkinemap-dev libseekwell-dev; do
        installed_package "$package" || continue
        cmake -S "$(installed_examples "$package")" -B "$out/$package" >"$out.log" 2>&1 &&
            cmake --build "$out/$package" >>"$out.log" 2>&1 ||
            { cat "$out.log"; fail "building the examples of $package"; }
    done
    # shellcheck disable=SC2046 # the flags are meant to split
    c++ -o "$out/walk_body-pc" "$(installed_examples libkinemap-dev)/cpp-body/walk_body.cpp" \
        $(pkg-config --cflags --libs kinemap) || fail "building walk_body through pkg-config"
    if installed_package libseekwell-dev; then
        # shellcheck disable=SC2046
        cc -std=c99 -Wall -Wextra -Werror -o "$out/discover-pc" -I"$(installed_examples libseekwell-dev)/common" \
            "$(installed_examples libseekwell-dev)/c-discover/discover.c" \
            $(pkg-config --cflags --libs seekwell) || fail "building discover through pkg-config"
    fi
    build_live_examples "$out"
}

# The live search's examples, built through pkg-config as their comments say:
# name, compiler, source, modules.
readonly LIVE_EXAMPLES=(
    "poll_discover|cc -std=c99|c-poll/poll_discover.c|seekwell"
    "glib_live|cc -std=c99|glib-live/glib_live.c|seekwell gio-2.0"
    "qt_live|c++ -std=c++17|qt-live/qt_live.cpp|seekwell Qt6Widgets"
)
build_live_examples() {
    local out=$1 entry name compiler source modules
    installed_package libseekwell-dev || return 0
    for entry in "${LIVE_EXAMPLES[@]}"; do
        IFS='|' read -r name compiler source modules <<<"$entry"
        # shellcheck disable=SC2086 # the modules, and the compiler with its flag, are lists of words
        pkg-config --exists $modules || fail "pkg-config knows no $modules, which $name needs"
        [ -x "$out/libseekwell-dev/$name" ] || fail "the installed examples' CMake project did not build $name"
        # shellcheck disable=SC2046,SC2086
        $compiler -Wall -Wextra -Werror -o "$out/$name-pc" -I"$(installed_examples libseekwell-dev)/common" \
            "$(installed_examples libseekwell-dev)/$source" \
            $(pkg-config --cflags --libs $modules) || fail "building $name through pkg-config"
    done
}

run_body_examples() {
    local examples=$1 out=$2
    echo "== body examples"
    expect_output "design 1: 19 joints, 43 body slots" "$out/libkinemap-dev/walk_body"
    expect_output "$KEYED_DESIGN_SLOT_37" "$out/walk_body-pc"
    expect_output "design 0: 19 joints, 43 body slots" "$out/libkinemap-dev/walk_body" 0
    expect_output "$KEYED_DESIGN_SLOT_37" "${SYSTEM_PYTHON[@]}" "$(python_example "$examples")" body
    expect_output "names: Amber, .*, Dusk Violet, TK-42" "${SYSTEM_PYTHON[@]}" "$(python_example "$examples")" body 0
}

# The private LAN of the other namespace tests, with the robots on it; the
# clean-up removes its namespaces with their processes.
make_private_network() {
    local name=rova-pkg-$$
    source "$source_dir/tests/support/private_lan.sh"
    namespaces=("$name-c" "$name-r")
    simlan_create "$name" "$ROBOTS" || fail "could not set up the private network"
}

start_robots() {
    local log=$1
    # One robot's name carries what printers must escape: the Python package and the tool must agree.
    simlan_start_sim seekwell-robot-sim --robots "$ROBOTS" --fault "$ODD_NAME_ROBOT:odd-name" >"$log" 2>&1 || {
        cat "$log"
        fail "the robot simulator did not get ready"
    }
}

# expect_robots <command...>: the command must list every simulated robot.
expect_robots() {
    local output i address
    output=$("$@" 2>&1) || fail "$* exited with $?: $output"
    cat -v <<<"$output"
    grep -q "^$ROBOTS robot(s) found" <<<"$output" || fail "$* did not find $ROBOTS robots"
    for ((i = 0; i < ROBOTS; ++i)); do
        address=$(simlan_device_address $((i + 1)))
        grep -qF " $address" <<<"$output" || fail "$* missed the robot at $address"
    done
}

run_discovery_examples() {
    local examples=$1 out=$2
    echo "== discovery examples (private network namespaces)"
    make_private_network
    start_robots "$out/robots.log"
    if installed_package "$FINDER_PACKAGE"; then
        echo "-- through the finder helper"
        expect_search_path FINDER
        expect_robots simlan_client "$out/libseekwell-dev/discover"
        expect_robots simlan_client "${SYSTEM_PYTHON[@]}" "$(python_example "$examples")" discover
        expect_same_robots_from_python simlan_client
    fi
    echo "-- through the built-in search (the finder helper hidden)"
    expect_search_path BUILT_IN without_finder
    expect_robots without_finder "$out/libseekwell-dev/discover"
    expect_robots without_finder "$out/discover-pc"
    expect_same_robots_from_python without_finder
    run_live_examples "$out"
}

# without_finder COMMAND...: COMMAND on the client side as if the finder
# helper's package were not installed: an empty directory is mounted over the
# helper's, in a mount namespace of the command's own, so the packages stay
# as they are.
without_finder() {
    local helper_dir
    helper_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/seekwell
    simlan_runner "$SIMLAN_CLIENT_NS"
    if [ ! -d "$helper_dir" ]; then
        "${SIMLAN_RUNNER[@]}" "$@"
        return
    fi
    unshare --mount --propagation private -- /bin/bash -c 'mount -t tmpfs -o ro,mode=755 none "$1" && shift && exec "$@"' \
        bash "$helper_dir" "${SIMLAN_RUNNER[@]}" "$@"
}

# expect_search_path FINDER|BUILT_IN [RUNNER]: the way the blocking call would search.
expect_search_path() {
    local expected=$1 path
    shift
    installed_package "$PYTHON_PACKAGE" || return 0
    path=$("$@" "${SYSTEM_PYTHON[@]}" -c 'import seekwell; print(seekwell.blocking_search_path().name)') ||
        fail "seekwell.blocking_search_path() failed: $path"
    [ "$path" = "$expected" ] || fail "the blocking call would search by $path, not $expected"
}

# The live search's examples, each ended its own way: its window, Ctrl-C, Stop.
# Qt draws off screen. The outer time-out only bounds a host that hangs.
run_live_examples() {
    local out=$1 bound=(timeout --kill-after=2 20)
    echo "-- the live search's examples"
    expect_robots simlan_client "${bound[@]}" "$out/libseekwell-dev/poll_discover" 3
    expect_robots simlan_client "${bound[@]}" "$out/poll_discover-pc" 3
    expect_robots simlan_client "${bound[@]}" timeout --signal=INT --preserve-status 3 "$out/glib_live-pc"
    expect_robots simlan_client env QT_QPA_PLATFORM=offscreen "${bound[@]}" "$out/qt_live-pc" --stop-after 3
}

# robot_set: the (name, address) pairs of a --json listing on stdin, one a line, sorted.
robot_set() {
    "${SYSTEM_PYTHON[@]}" -c 'import json, sys
robots = json.load(sys.stdin)["robots"]
print("\n".join(sorted("%s\t%s" % (r["name"], r["address"]) for r in robots)))'
}

# expect_same_robots_from_python RUNNER: `python3 -m seekwell --json` finds
# the robots seekwell-discover finds.
expect_same_robots_from_python() {
    installed_package "$PYTHON_PACKAGE" || return 0
    local runner=$1 from_tool from_python
    from_tool=$("$runner" seekwell-discover --json | robot_set) || fail "seekwell-discover --json failed"
    from_python=$("$runner" "${SYSTEM_PYTHON[@]}" -m seekwell --json | robot_set) ||
        fail "python3 -m seekwell --json failed"
    [ "$(wc -l <<<"$from_tool")" -eq "$ROBOTS" ] || fail "seekwell-discover --json found: $from_tool"
    [ "$from_python" = "$from_tool" ] ||
        fail "python3 -m seekwell --json found $from_python; seekwell-discover --json found $from_tool"
    echo "   python3 -m seekwell --json: the same $ROBOTS robots as seekwell-discover --json"
}

# The libraries export exactly what their symbols templates list: a symbol
# gained or lost fails (dpkg-gensymbols -c4), so the template is updated with
# every change of the interface. The packages ship the file made from it.
check_symbols_files() {
    local package library symbols status=0
    echo "== symbols files"
    for package in libkinemap2 libseekwell2; do
        installed_package "$package" || continue
        [ -n "$(dpkg-query --control-path "$package" symbols)" ] || fail "$package has no symbols file"
        symbols=$source_dir/debian/$package.symbols
        library=$(dpkg -L "$package" | grep -E '/lib[a-z]+\.so\.[0-9]+$')
        # The Debian revision as the version: a symbol missing at the
        # version it was added in is reported too.
        (cd "$work" && dpkg-gensymbols -c4 -v"$(dpkg-query -W -f='${Version}' "$package")" \
            -p"$package" -P/ -e"$library" -I"$symbols" -O/dev/null) || {
            echo "   $package: the exports of $library differ from its symbols file (above)"
            status=1
        }
    done
    [ $status -eq 0 ] || fail "symbols files and libraries differ"
}
