#!/usr/bin/env bash
# The live search's targets on a private LAN with a router between the client and a routed /24 of
# robots (no multicast crosses it), all from the C test host (live_host) with the library installed
# alone. Each round, in the client namespace:
#   - a search given one routed robot's address: start -> its ROBOT, and the LAN's own robot
#     (found by multicast) in the same run as the peer;
#   - a search given the routed /24 (swept with unicast searches): start -> each routed robot's ROBOT,
#     and again the LAN's own robot beside them;
#   - a search given a /20 (4096 addresses, ~4 s of sweeping): the host's CPU and what it left open;
#   - the same sweep cancelled from a thread after 1.5 s: cancel -> DONE.
# Not a test: it reports figures. Run as root; it builds its own namespaces and removes them.
#
#   BENCH_BUILD=DIR bench/e2e_targets.sh [ROUNDS]   (default 5 rounds, ~17 s each; DIR: a build
#       with seekwell, seekwell-robot-sim and seekwell-live-host built)
source "$(dirname "$0")/e2e_lib.sh"

usage() {
    echo "usage: [BENCH_BUILD=DIR] $0 [ROUNDS]"
    echo "  as root; ROUNDS rounds (default 5, ~17 s each)"
}
case ${1:-} in
    -h | --help)
        usage
        exit 0
        ;;
esac
[[ ${1:-5} =~ ^[1-9][0-9]*$ ]] || {
    usage >&2
    exit 1
}
readonly ROUNDS=${1:-5}
readonly LIVE_HOST="$BENCH_BUILD/tests/discovery/live/seekwell-live-host"
readonly ROUTED_ROBOTS=4
readonly WINDOW_MS=3000
readonly SWEEP_BLOCK=198.19.0.0/20
readonly SWEEP_WINDOW_MS=7000
readonly CANCEL_AFTER_MS=1500

simlan_can_run || exit 1
for tool in "$LIVE_HOST" "$BENCH_SIMULATOR"; do
    [ -x "$tool" ] || {
        echo "$tool is missing: cmake --build $BENCH_BUILD --target seekwell seekwell-robot-sim seekwell-live-host" >&2
        exit 1
    }
done
BENCH_WORK=$(mktemp -d /tmp/seekwell-targets.XXXXXX)
trap bench_cleanup EXIT
trap 'exit 1' INT TERM
cmake --install "$BENCH_BUILD" --component seekwell --prefix "$BENCH_WORK/prefix" >/dev/null
mkdir -p "$BENCH_WORK/alone"
cp -P "$(dirname "$(find "$BENCH_WORK/prefix" -name 'libseekwell.so.2' | head -n 1)")"/libseekwell.so* \
    "$BENCH_WORK/alone/"
simlan_create "targets-$$" 1
simlan_start_sim "$BENCH_SIMULATOR" --robots 1 --duration "$BENCH_SIM_LIFETIME_S"
simlan_start_routed_sim $ROUTED_ROBOTS "$BENCH_SIMULATOR" --robots $ROUTED_ROBOTS --duration "$BENCH_SIM_LIFETIME_S"
LOCAL_ROBOT=$(simlan_device_address 1)
ROUTED_ROBOT=$(simlan_routed_device_address 1)
ROUTED_BLOCK="$(cut -d. -f1-3 <<<"$ROUTED_ROBOT").0/24"
readonly LOCAL_ROBOT ROUTED_ROBOT ROUTED_BLOCK

live() { LD_LIBRARY_PATH="$BENCH_WORK/alone" simlan_client "$LIVE_HOST" "$@"; }
# robot_ms FILE ADDRESS: ms from the start to the ROBOT of ADDRESS, or "-".
robot_ms() { awk -v a="$2" '$1 == "ROBOT" && $(NF - 2) == a { sub(/^\+/, "", $2); print $2; found = 1; exit } END { if (!found) print "-" }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f\n", a / b }'; }
record() { [ "$2" = "-" ] || bench_record "$1" "$2"; }

run_round() {
    local round=$1 out="$BENCH_WORK/address.$1" lanMs routedMs i
    live targets $WINDOW_MS "$ROUTED_ROBOT" >"$out" 2>&1
    routedMs=$(robot_ms "$out" "$ROUTED_ROBOT")
    lanMs=$(robot_ms "$out" "$LOCAL_ROBOT")
    record address "$routedMs"
    record address_local "$lanMs"
    record address_ratio "$(ratio "$routedMs" "$lanMs")"

    out="$BENCH_WORK/range.$round"
    live targets $WINDOW_MS "$ROUTED_BLOCK" >"$out" 2>&1
    lanMs=$(robot_ms "$out" "$LOCAL_ROBOT")
    record range_local "$lanMs"
    for ((i = 1; i <= ROUTED_ROBOTS; i++)); do
        routedMs=$(robot_ms "$out" "$(simlan_routed_device_address $i)")
        record range "$routedMs"
        record range_ratio "$(ratio "$routedMs" "$lanMs")"
    done

    out="$BENCH_WORK/sweep.$round"
    live targets $SWEEP_WINDOW_MS $SWEEP_BLOCK >"$out" 2>&1
    record sweep_cpu "$(bench_value "$out" cpu_ms)"
    record sweep_robots "$(grep -c '^ROBOT ' "$out")"
    echo "round $round sweep left: $(bench_value "$out" left)" >>"$BENCH_WORK/left"

    out="$BENCH_WORK/cancel.$round"
    live targets-cancel $CANCEL_AFTER_MS $SWEEP_BLOCK >"$out" 2>&1
    record cancel "$(bench_value "$out" cancel_to_done_ms)"
    echo "round $round cancel left: $(bench_value "$out" left)" >>"$BENCH_WORK/left"
    echo "round $round done, load $(bench_load)" >&2
}

bench_machine
echo "load average (1 min) before: $(bench_load)"
for ((round = 1; round <= ROUNDS; round++)); do
    run_round $round
done
echo "load average (1 min) after: $(bench_load)"
stats() { bench_stats "$(bench_series "$1")" "${2:-1}"; }
echo
echo "| $ROUNDS rounds | start -> ROBOT, ms | the LAN's own robot (multicast), same runs, ms | targeted / multicast |"
echo "|---|---|---|---|"
echo "| a routed robot by its address | $(stats address) | $(stats address_local) | $(stats address_ratio 2) |"
echo "| each of $ROUTED_ROBOTS routed robots of a swept /24 | $(stats range) | $(stats range_local) | $(stats range_ratio 2) |"
echo
echo "| $ROUNDS rounds, sweep of $SWEEP_BLOCK (4096 addresses) | |"
echo "|---|---|"
echo "| host CPU for the whole search ($SWEEP_WINDOW_MS ms window), ms | $(stats sweep_cpu) |"
echo "| robots found ($ROUTED_ROBOTS routed and the LAN's own) | $(stats sweep_robots) |"
echo "| cancel -> DONE while sweeping (after $CANCEL_AFTER_MS ms), ms | $(stats cancel) |"
echo "| left open after the search (threads, descriptors) | $(sort -u <<<"$(cut -d: -f2- "$BENCH_WORK/left")" | tr '\n' ';') |"
