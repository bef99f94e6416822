#!/usr/bin/env bash
# Builds the normal, ASan+UBSan and TSan configurations; runs the whole test
# suite in the first two and the threaded tests under TSan; then runs every
# fuzzer for a bounded time (FUZZ_SECONDS each, default 30; 0 skips them).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages

FUZZ_SECONDS=${FUZZ_SECONDS:-30}
# Most tests spend their time waiting out 10-second search windows, not on a CPU: twice as many
# at once as there are CPUs keeps both busy.
TEST_JOBS=${TEST_JOBS:-$((2 * JOBS))}

configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined
configure_and_build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread

status=0
results=$(mktemp)
trap 'rm -f "$results"' EXIT
# run_ctest <build-dir> [ctest args...]: runs the suite and keeps its closing tally.
run_ctest() {
  local dir=$1; shift
  (cd "$ROOT/$dir" && ctest --output-on-failure -j "$TEST_JOBS" "$@") | tee -a "$results"
  return "${PIPESTATUS[0]}"
}
# The Debian packages' test installs the packages on this machine, so it runs apart from the other
# tests (the tests that load whichever library the loader finds would find those); the fuzzers load
# nothing installed, and run beside it.
readonly APART=debian_packages
for dir in build build-asan; do
  echo "== tests: $dir"
  run_ctest "$dir" -E "^$APART\$" || status=1
done
# Tests that start threads or processes carry the ctest label "threaded".
echo "== threaded tests: build-tsan"
run_ctest build-tsan -L threaded || status=1

apart_log=$(mktemp)
trap 'rm -f "$results" "$apart_log"' EXIT
run_ctest build -R "^$APART\$" >"$apart_log" 2>&1 &
apart_pid=$!
if [ "$FUZZ_SECONDS" -gt 0 ]; then
  echo "== fuzzers: ${FUZZ_SECONDS}s each"
  bash "$ROOT/scripts/fuzz.sh" "$FUZZ_SECONDS" || status=1
fi
wait "$apart_pid" || status=1
echo "== tests: build, $APART"
cat "$apart_log"

# One closing tally over the three suites (ctest's "... tests failed out of N" lines).
awk '/tests failed out of/ { failed += $(NF-5); total += $NF }
     END { printf "all suites: %d passed, %d failed\n", total - failed, failed }' "$results"
[ "$status" -eq 0 ] || echo "FAILED: see the output above" >&2
exit $status
