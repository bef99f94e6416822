#!/bin/sh
# Installs the kinemap components (library, development files, tools) into a scratch prefix, then builds and runs a
# small host against it once through pkg-config and once through find_package.
# usage: install_and_consume.sh <build-dir> <consumer-source> <work-dir> <c++> <libdir> [flags]
set -eu
build=$1 source=$2 work=$3 cxx=$4 libdir=$5 flags=${6:-}
prefix=$work/prefix
lib=$prefix/$libdir

rm -rf "$work"
mkdir -p "$work"
for component in kinemap kinemap-dev tools; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done

for file in include/kinemap/kinemap.h "$libdir/pkgconfig/kinemap.pc" \
            "$libdir/cmake/Kinemap/KinemapConfig.cmake" "$libdir/cmake/Kinemap/KinemapConfigVersion.cmake" \
            "$libdir/libkinemap.so" "$libdir/libkinemap.so.2" "$libdir/libkinemap.so.2.1.0" \
            bin/kinemap-info; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done

echo "== pkg-config"
# shellcheck disable=SC2046 # the flags are meant to split
"$cxx" $flags -std=c++98 -o "$work/consumer-pc" "$source/main.cpp" \
    $(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs kinemap) \
    -Wl,-rpath,"$lib"
"$work/consumer-pc"

echo "== find_package"
cmake -S "$source" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer"
