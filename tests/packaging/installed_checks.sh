# Checks run against the installed packages; sourced by packages_test.sh,
# which provides fail(), the namespaces array and the clean-up.

readonly VERSION_TEXT=2.00.01080
readonly PACKAGE_VERSION=2.0.1080
readonly KEYED_DESIGN_SLOT_37='slot 37  PRM:/r1/c1/c2/c3-Joint2:13 +joint  3 \(id 2023\)'
readonly ROBOTS=3

# expect_output <regex> <command...>: runs the command, fails unless its
# output matches.
expect_output() {
    local pattern=$1 output
    shift
    output=$("$@" 2>&1) || fail "$* exited with $?: $output"
    grep -Eq -- "$pattern" <<<"$output" || fail "$* did not print /$pattern/; it printed: $output"
}

installed_package() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
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

# Only the finder helper, shipped in libseekwell2, may pull GUPnP in.
check_gupnp_dependency() {
    local package
    for package in "${packages[@]}"; do
        if dpkg-query -W -f='${Depends}' "$package" | grep -q gupnp; then
            [ "$package" = libseekwell2 ] || fail "$package depends on GUPnP"
        fi
    done
    installed_package libseekwell2 || return 0
    ! grep -q gupnp <<<"$(readelf -d "$(dpkg -L libseekwell2 | grep '/libseekwell\.so\.2$')")" ||
        fail "libseekwell.so.2 itself links GUPnP"
    local helper
    helper=$(dpkg -L libseekwell2 | grep '/seekwell/seekwell-finder-gupnp$')
    if [ -n "$helper" ]; then
        [ -x "$helper" ] || fail "the finder helper $helper is not executable"
        dpkg-query -W -f='${Depends}' libseekwell2 | grep -q gupnp ||
            fail "libseekwell2 does not depend on GUPnP although its finder helper needs it"
    fi
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

# Builds the examples against the installed development files, through the
# CMake packages and through pkg-config.
build_examples() {
    local examples=$1 out=$2
    echo "== building the examples"
    cmake -S "$examples" -B "$out/cmake" >"$out.log" 2>&1 &&
        cmake --build "$out/cmake" >>"$out.log" 2>&1 || { cat "$out.log"; fail "building the examples"; }
    # shellcheck disable=SC2046 # the flags are meant to split
    c++ -o "$out/walk_body-pc" "$examples/cpp-body/walk_body.cpp" $(pkg-config --cflags --libs kinemap) ||
        fail "building walk_body through pkg-config"
    if installed_package libseekwell-dev; then
        # shellcheck disable=SC2046
        cc -std=c99 -Wall -Wextra -Werror -o "$out/discover-pc" "$examples/c-discover/discover.c" \
            $(pkg-config --cflags --libs seekwell) || fail "building discover through pkg-config"
    fi
}

run_body_examples() {
    local examples=$1 out=$2
    echo "== body examples"
    expect_output "design 1: 19 joints, 43 body slots" "$out/cmake/walk_body"
    expect_output "$KEYED_DESIGN_SLOT_37" "$out/walk_body-pc"
    expect_output "design 0: 19 joints, 43 body slots" "$out/cmake/walk_body" 0
    expect_output "$KEYED_DESIGN_SLOT_37" python3 "$examples/python/rova_host.py" body
    expect_output "names: Amber, .*, Dusk Violet, TK-42" python3 "$examples/python/rova_host.py" body 0
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
    simlan_start_sim seekwell-robot-sim --robots "$ROBOTS" >"$log" 2>&1 || {
        cat "$log"
        fail "the robot simulator did not get ready"
    }
}

# expect_robots <command...>: the command must list every simulated robot.
expect_robots() {
    local output i address
    output=$("$@" 2>&1) || fail "$* exited with $?: $output"
    echo "$output"
    grep -q "^$ROBOTS robot(s) found" <<<"$output" || fail "$* did not find $ROBOTS robots"
    for ((i = 0; i < ROBOTS; ++i)); do
        address=$(simlan_device_address $((i + 1)))
        grep -qF " $address" <<<"$output" || fail "$* missed the robot at $address"
    done
}

run_discovery_examples() {
    local examples=$1 out=$2
    echo "== discovery examples (private network namespaces)"
    if ! ip netns list >/dev/null 2>&1; then
        echo "   not run: network namespaces are unavailable here (ip netns from iproute2)"
        return 0
    fi
    if ! command -v seekwell-robot-sim >/dev/null; then
        echo "   not run: seekwell-robot-sim is not part of the tools package yet"
        return 0
    fi
    make_private_network
    start_robots "$out/robots.log"
    expect_robots simlan_client "$out/cmake/discover"
    expect_robots simlan_client python3 "$examples/python/rova_host.py" discover
}
