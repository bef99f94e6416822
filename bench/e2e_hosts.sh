#!/usr/bin/env bash
# How soon each kind of host shows the robots of a simulated LAN (16 robots, 50 other UPnP
# devices, private network namespaces): the time from starting a command in the client
# namespace to each robot line it prints, for
#   - seekwell-discover --live --json (the tool, on the library alone: the built-in rules);
#   - python3 -m seekwell --live --json (the Python package over the same library);
#   - a GUPnP control point (tests/tools/gupnp_probe.c), the peer: it prints each device once it
#     has fetched and accepted its description, as our live search does.
# Each command is stopped by SIGINT 3 s after its start. Rounds are interleaved, so a change of
# load on the shared machine falls on all alike. Not a test: it reports figures. Run as root.
#
#   bench/e2e_hosts.sh [RUNS]      (default 7 rounds, ~10 s each)
#   BENCH_BUILD=DIR bench/e2e_hosts.sh [RUNS]
source "$(dirname "$0")/e2e_lib.sh"

[[ ${1:-7} =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: [BENCH_BUILD=DIR] $0 [RUNS]   (as root; default 7 rounds)" >&2
    exit 1
}
readonly RUNS=${1:-7}
readonly STOP_AFTER_S=3
readonly ROBOT_NAME="ROVA robot"
readonly TOOL="$BENCH_BUILD/tools/seekwell-discover/seekwell-discover"
readonly PEER="$BENCH_BUILD/tests/tools/gupnp-probe"

bench_quiet_lan hosts
[ -x "$PEER" ] || cmake --build "$BENCH_BUILD" --target gupnp-probe >/dev/null

# stamped OUTPUT COMMAND...: runs COMMAND in the client namespace and writes each line it prints
# after the microseconds since its start. Bash's own clock: stamping forks nothing.
stamped() {
    local out=$1 start line
    shift
    start=${EPOCHREALTIME/./}
    LD_LIBRARY_PATH="$BENCH_LIBRARY_DIR" PYTHONPATH="$ROOT/python/src" \
        simlan_client timeout -s INT $STOP_AFTER_S "$@" 2>/dev/null |
        while IFS= read -r line; do
            echo "$((${EPOCHREALTIME/./} - start)) $line"
        done >"$out" || true  # stopped by its time-out, as meant
}

# record NAME OUTPUT: the first, 8th and 16th robot line, in ms.
record() {
    local name=$1 times
    times=$(grep -F "$ROBOT_NAME" "$2" | awk '{ print $1 }' | sort -n || true)
    bench_record "$name.robots" "$(grep -c . <<<"$times" || true)"
    bench_record "$name.first" "$(sed -n 1p <<<"$times" | awk '{ printf "%.1f", $1 / 1000 }')"
    bench_record "$name.eighth" "$(sed -n 8p <<<"$times" | awk '{ printf "%.1f", $1 / 1000 }')"
    bench_record "$name.last" "$(sed -n ${BENCH_ROBOTS}p <<<"$times" | awk '{ printf "%.1f", $1 / 1000 }')"
}

hosts=(tool python peer)
# measure_host HOST OUTPUT: one run of HOST, recorded.
measure_host() {
    case $1 in
        tool) stamped "$2" "$TOOL" --live --json ;;
        python) stamped "$2" /usr/bin/python3 -m seekwell --live --json ;;
        peer) stamped "$2" "$PEER" $STOP_AFTER_S ;;
    esac
    record "$1" "$2"
}

bench_rounds "$RUNS" measure_host "${hosts[@]}"
echo
echo "| ms after the command's start (median (min..max) over $RUNS runs) | $(printf '%s | ' "${hosts[@]}")"
echo "|---|---|---|---|"
for measure in robots first eighth last; do
    cells=""
    for host in "${hosts[@]}"; do
        cells+=" $(bench_stats "$(bench_series "$host.$measure")" 1) |"
    done
    echo "| $measure |$cells"
done
