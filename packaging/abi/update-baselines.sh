#!/bin/sh
# Records the ABI of the libraries built in BUILD_DIR as the new baselines.
# Run it only for a deliberate, compatible change of the public interface,
# and commit the result with that change.
# usage: packaging/abi/update-baselines.sh BUILD_DIR
set -eu
build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)

# record <library file> <baseline name>
record() {
    abidw --exported-interfaces-only --no-corpus-path --no-comp-dir-path --short-locs \
          --type-id-style hash --out-file "$here/$2" "$1"
    echo "recorded $1 as $2"
}

for library in kinemap seekwell; do
    file=$(find "$build" -maxdepth 2 -name "lib$library.so.2.*" -type f | head -n 1)
    if [ -n "$file" ]; then
        record "$file" "lib$library.so.2.abi"
    else
        echo "lib$library.so.2 not built in $build: its baseline is left as it is" >&2
    fi
done
