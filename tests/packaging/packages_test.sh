#!/bin/bash
# Builds the Debian packages, checks them with lintian, installs them on this
# machine, builds and runs the example hosts against the installed files
# (discovery ones inside private network namespaces with the robot
# simulator), and removes the packages again, whatever happens.
#
# usage: packages_test.sh <source-dir> <work-dir>
# Needs root; exits 77 (skipped) otherwise.
set -euo pipefail
source_dir=$1 work=$2
readonly SKIPPED=77
readonly LOCK_WAIT_S=300

skip() { echo "SKIPPED: $*"; exit $SKIPPED; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root (run the tests as root)"
for tool in dpkg apt-get lintian cpack; do
    command -v "$tool" >/dev/null || skip "$tool is missing (install the packages in scripts/lib.sh)"
done

rm -rf "$work"
mkdir -p "$work"
"$source_dir/packaging/build-debs.sh" "$work/build" >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; fail "building the packages (log: $work/build.log)"; }
mapfile -t debs < <(find "$work/build/packages" -maxdepth 1 -name '*.deb' | sort)
[ ${#debs[@]} -gt 0 ] || fail "no package was made"
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
echo "== packages: ${packages[*]}"

# Lintian: errors and warnings not overridden (each override says why) fail;
# the info tags are shown.
lintian_status=0
lintian --info --fail-on error,warning --tag-display-limit 0 "${debs[@]}" >"$work/lintian.log" 2>&1 ||
    lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[ $lintian_status -eq 0 ] || fail "lintian reported errors or warnings (status $lintian_status)"

# Never touch packages that were there before: they are not ours to remove.
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        fail "$package is installed already; remove it first: dpkg --purge ${packages[*]}"
    fi
done

namespaces=()
remove_everything() {
    local namespace
    for namespace in "${namespaces[@]}"; do ip netns pids "$namespace" 2>/dev/null | xargs -r kill; done
    for namespace in "${namespaces[@]}"; do ip netns delete "$namespace" 2>/dev/null || true; done
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
}
trap remove_everything EXIT

echo "== installing"
apt-get install -y -qq --no-install-recommends -o "DPkg::Lock::Timeout=$LOCK_WAIT_S" "${debs[@]}" \
    >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "installing the packages"; }

source "$source_dir/tests/packaging/installed_checks.sh"
check_installed_files
mkdir -p "$work/examples"
build_examples "$work/examples"
run_body_examples "$source_dir/examples" "$work/examples"
if [[ " ${packages[*]} " == *" libseekwell2 "* ]]; then
    run_discovery_examples "$source_dir/examples" "$work/examples"
else
    echo "== discovery examples: not run, libseekwell2 is not built yet"
fi
# Last, so that a changed interface still lets every other check run.
check_symbols_files
check_python_package_removal

echo "== removing"
dpkg --purge "${packages[@]}" >/dev/null
for package in "${packages[@]}"; do
    ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        fail "$package is still installed"
done
echo "packages built, checked, installed, used and removed"
