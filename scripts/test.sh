#!/usr/bin/env bash
# Builds the normal, ASan+UBSan and TSan configurations; runs the whole test
# suite in the first two and the threaded tests under TSan; then runs every
# fuzzer for a bounded time (FUZZ_SECONDS each, default 60; 0 skips them).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages

# Tests that start threads: the receive worker, the search, overlapping
# export calls, concurrent Kinemap queries and the hostile peers around them.
THREADED_TESTS='Search\.|DiscoveryCall\.|ReceiveWorker\.|Concurrent|HostileSsdp\.|HostileHttp\.'
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined
configure_and_build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread

status=0
for dir in build build-asan; do
  echo "== tests: $dir"
  (cd "$ROOT/$dir" && ctest --output-on-failure -j "$JOBS") || status=1
done
echo "== threaded tests: build-tsan"
(cd "$ROOT/build-tsan" && ctest --output-on-failure -j "$JOBS" -R "$THREADED_TESTS") || status=1

if [ "$FUZZ_SECONDS" -gt 0 ]; then
  echo "== fuzzers: ${FUZZ_SECONDS}s each"
  bash "$ROOT/scripts/fuzz.sh" "$FUZZ_SECONDS" || status=1
fi
exit $status
