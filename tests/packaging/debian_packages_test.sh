#!/bin/bash
# The Debian packages as a packager and a host get them: source and binary
# packages built by dpkg-buildpackage from a copy of the source tree, checked
# by lintian, compared with the committed list of what each ships and how it
# relates to the others (packages.manifest), then installed on this machine
# by autopkgtest's null testbed, which runs debian/tests, and purged again
# whatever happens.
#
# usage: debian_packages_test.sh <source-dir> <work-dir>
# Needs root; exits 77 (skipped) otherwise.
set -euo pipefail
source_dir=$1 work=$2
readonly SKIPPED=77
readonly SOURCE_PACKAGE=rova-host-libraries
readonly MANIFEST=$source_dir/tests/packaging/packages.manifest
# Debian's tools and interpreter, whatever PATH the caller's profile sets.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

skip() { echo "SKIPPED: $*"; exit $SKIPPED; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root (run the tests as root)"
for tool in dpkg-buildpackage lintian autopkgtest; do
    command -v "$tool" >/dev/null || skip "$tool is missing (install the packages in scripts/lib.sh)"
done

# copy_source <dir>: the source tree's own files, without builds.
copy_source() {
    mkdir -p "$1"
    if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
        git -C "$source_dir" ls-files -co --exclude-standard -z |
            (cd "$source_dir" && xargs -0 -r tar --ignore-failed-read -cf - 2>/dev/null) | tar -C "$1" -xf -
    else
        tar -C "$source_dir" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$1" -xf -
    fi
}

rm -rf "$work"
# apt reads the packages as its unprivileged user.
mkdir -m 755 -p "$work"
copy_source "$work/$SOURCE_PACKAGE"

echo "== dpkg-buildpackage"
# The test suite runs the build's tests itself.
(cd "$work/$SOURCE_PACKAGE" &&
    DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc) >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage (log: $work/build.log)"; }
changes=$(echo "$work"/"$SOURCE_PACKAGE"_*.changes)
mapfile -t debs < <(find "$work" -maxdepth 1 -name '*.deb' | sort)
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
echo "   ${packages[*]}"

echo "== lintian"
lintian --info --fail-on error,warning --tag-display-limit 0 "$changes" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log"; fail "lintian reported errors or warnings"; }
grep -v 'running with root privileges' "$work/lintian.log" || true

echo "== what the packages ship"
bash "$source_dir/tests/packaging/package_manifest.sh" "${debs[@]}" >"$work/packages.manifest"
diff -u "$MANIFEST" "$work/packages.manifest" ||
    fail "the packages differ from $MANIFEST (above); if that is meant, copy $work/packages.manifest there"

# Never touch packages that were there before: they are not ours to remove.
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        fail "$package is installed already; remove it first: dpkg --purge ${packages[*]}"
    fi
done
purge() {
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
}
trap purge EXIT

echo "== autopkgtest (null testbed: this machine)"
autopkgtest --output-dir "$work/autopkgtest" "$changes" -- null >"$work/autopkgtest.log" 2>&1 ||
    { cat "$work/autopkgtest.log"; fail "autopkgtest (log: $work/autopkgtest.log)"; }
sed -n '/^@@@@@@@@@@@@@@@@@@@@ summary/,$p' "$work/autopkgtest.log"

echo "== purging"
dpkg --purge "${packages[@]}" >/dev/null
left=$(find /usr/lib/python3/dist-packages \( -name 'seekwell*' -o -name 'kinemap*' \) -print)
[ -z "$left" ] || fail "purging the packages left: $left"
echo "packages built, checked, installed, tested and purged"
