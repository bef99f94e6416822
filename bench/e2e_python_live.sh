#!/usr/bin/env bash
# The Python package's live search against the C host's, on the quiet simulated LAN of
# bench/e2e_live.sh (16 robots, 50 other UPnP devices), both loading the same installed copy of
# the library alone (the built-in path). Each round, one after the other, each in a process of
# its own:
#   - the C measuring host's 10 s live search (bench/live_measure.c): each ROBOT event's time
#     after the start, in the host's C callback;
#   - a `for` loop over seekwell.search(10) (bench/python_live.py loop): each ROBOT event's time
#     in the package's callback, and when the loop's body got it;
#   - search_async(0) tasks cancelled 300 ms after the start (the first round's fetches in
#     flight) and once the 16 robots came: cancel() to the task's end, and the descriptors and
#     threads the process holds before and after.
# Not a test: it reports figures. Run as root.
#
#   bench/e2e_python_live.sh [RUNS]           (default 5 rounds, ~25 s each)
#   BENCH_BUILD=DIR bench/e2e_python_live.sh  (the build to use, default ./build)
source "$(dirname "$0")/e2e_lib.sh"

case ${1:-} in
    -h | --help)
        echo "usage: [BENCH_BUILD=DIR] $0 [RUNS]   (as root; default 5 rounds)"
        exit 0
        ;;
esac
[[ ${1:-5} =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: [BENCH_BUILD=DIR] $0 [RUNS]" >&2
    exit 1
}
readonly RUNS=${1:-5}
readonly LIVE_MEASURE="$BENCH_BUILD/bench/seekwell-live-measure"
readonly PYTHON_LIVE=("${PYTHON:-/usr/bin/python3}" "$BENCH_DIR/python_live.py")
readonly CANCEL_AFTER_MS=300

simlan_can_run || exit 1
[ -x "$LIVE_MEASURE" ] || {
    echo "$LIVE_MEASURE is missing: build the benchmarks (-DROVA_BUILD_BENCHMARKS=ON) in $BENCH_BUILD" >&2
    exit 1
}
bench_quiet_lan pylive

# in_client OUTPUT COMMAND...: COMMAND in the client namespace with the installed library alone.
in_client() {
    local out=$1
    shift
    LD_LIBRARY_PATH="$BENCH_LIBRARY_DIR" PYTHONPATH="$ROOT/python/src" PYTHONDONTWRITEBYTECODE=1 simlan_client "$@" >"$out"
}

# median_of OUTPUT AWK-EXPRESSION: the median over the robot lines of OUTPUT, in ms.
median_of() {
    awk "\$1 == \"robot\" { print ($2) / 1000 }" "$1" | sort -g | awk '
        { v[NR] = $1 }
        END { printf "%.3f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

record_cancel() {
    local name=$1 out=$2
    bench_record "$name.ms" "$(awk '$1 == "cancel_to_end_us" { printf "%.2f", $2 / 1000 }' "$out")"
    bench_record "$name.robots" "$(bench_value "$out" robots)"
    bench_record "$name.fds_left" "$(awk '$1 == "fds_before" { print $4 - $2 }' "$out")"
    bench_record "$name.threads_left" "$(awk '$1 == "threads_before" { print $4 - $2 }' "$out")"
}

bench_machine
echo "load average (1 min) before: $(bench_load)"
for ((run = 1; run <= RUNS; run++)); do
    in_client "$BENCH_WORK/c.$run" "$LIVE_MEASURE" live $BENCH_WINDOW_MS
    bench_record c.robots "$(grep -c '^robot ' "$BENCH_WORK/c.$run")"
    bench_record c.median "$(median_of "$BENCH_WORK/c.$run" '$3')"
    in_client "$BENCH_WORK/py.$run" "${PYTHON_LIVE[@]}" loop $((BENCH_WINDOW_MS / 1000))
    bench_record py.robots "$(grep -c '^robot ' "$BENCH_WORK/py.$run")"
    bench_record py.callback "$(median_of "$BENCH_WORK/py.$run" '$3')"
    bench_record py.body "$(median_of "$BENCH_WORK/py.$run" '$4')"
    bench_record py.to_body "$(median_of "$BENCH_WORK/py.$run" '$4 - $3')"
    awk '$1 == "robot" { printf "%.3f\n", ($4 - $3) / 1000 }' "$BENCH_WORK/py.$run" >>"$(bench_series py.each)"
    in_client "$BENCH_WORK/early.$run" "${PYTHON_LIVE[@]}" cancel $CANCEL_AFTER_MS
    record_cancel early "$BENCH_WORK/early.$run"
    in_client "$BENCH_WORK/idle.$run" "${PYTHON_LIVE[@]}" cancel first-robots $BENCH_ROBOTS
    record_cancel idle "$BENCH_WORK/idle.$run"
    echo "round $run of $RUNS done, load $(bench_load)" >&2
done
echo "load average (1 min) after: $(bench_load)"
echo
echo "| measure (median (min..max) over $RUNS runs; per run the median of its robots) | C host | Python \`for\` loop |"
echo "|---|---|---|"
echo "| robots reported | $(bench_stats "$(bench_series c.robots)") | $(bench_stats "$(bench_series py.robots)") |"
echo "| ROBOT event in the host's callback, after the start (ms) | $(bench_stats "$(bench_series c.median)" 3) | $(bench_stats "$(bench_series py.callback)" 3) |"
echo "| the loop's body got the Robot, after the start (ms) | - | $(bench_stats "$(bench_series py.body)" 3) |"
echo "| callback to the loop's body (ms) | - | $(bench_stats "$(bench_series py.to_body)" 3) |"
echo "| callback to the loop's body, every robot of every run (ms) | - | $(bench_stats "$(bench_series py.each)" 3) |"
echo
echo "| search_async(0) task cancelled (median (min..max) over $RUNS runs) | ${CANCEL_AFTER_MS} ms after the start | once $BENCH_ROBOTS robots came |"
echo "|---|---|---|"
echo "| task.cancel() to the task's end (ms) | $(bench_stats "$(bench_series early.ms)" 2) | $(bench_stats "$(bench_series idle.ms)" 2) |"
echo "| robots read before the cancel | $(bench_stats "$(bench_series early.robots)") | $(bench_stats "$(bench_series idle.robots)") |"
echo "| descriptors left after the end | $(bench_stats "$(bench_series early.fds_left)") | $(bench_stats "$(bench_series idle.fds_left)") |"
echo "| threads left after the end | $(bench_stats "$(bench_series early.threads_left)") | $(bench_stats "$(bench_series idle.threads_left)") |"
