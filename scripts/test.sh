#!/usr/bin/env bash
# Builds the normal and the ASan+UBSan configurations and runs the whole test suite in both.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages

configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined

status=0
for dir in build build-asan; do
  echo "== tests: $dir"
  (cd "$ROOT/$dir" && ctest --output-on-failure -j "$JOBS") || status=1
done
exit $status
