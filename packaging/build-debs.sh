#!/bin/sh
# Builds the Debian packages into BUILD_DIR/packages: a build with Debian's
# compiler flags (hardening included), installed under /usr, packed by CPack.
# usage: packaging/build-debs.sh BUILD_DIR
set -eu
build=${1:?usage: $0 BUILD_DIR}
case $build in /*) ;; *) build=$PWD/$build ;; esac
source_dir=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}

# dpkg-buildflags maps the source directory away in debug paths, relative to
# where it runs.
cd "$source_dir"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
preprocessor=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $preprocessor"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $preprocessor"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
      -DROVA_BUILD_TESTS=OFF -DCMAKE_SKIP_INSTALL_RPATH=ON
cmake --build "$build" -j "$jobs"
cd "$build"
cpack -G DEB
"$source_dir/packaging/finish-debs.sh" "$build"/packages/*.deb
