#!/bin/sh
# The .pc files follow the prefix given when installing, not the one the build
# was configured with: an install with --prefix into a scratch directory gives
# flags that point into it.
# usage: pkgconfig_prefix_test.sh <build-dir> <work-dir> <libdir>
set -eu
build=$1 work=$2 libdir=$3
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
for component in kinemap-dev seekwell-dev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done

flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs seekwell kinemap | xargs)
expected="-I$prefix/include -L$prefix/$libdir -lseekwell -lkinemap"
if [ "$flags" != "$expected" ]; then
    echo "pkg-config printed:  $flags" >&2
    echo "expected:            $expected" >&2
    exit 1
fi
echo "pkg-config: $flags"
