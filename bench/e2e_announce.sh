#!/usr/bin/env bash
# How fast a watch hears a robot switched on and off, against a GSSDP 1.6 resource browser beside
# it, on a private two-namespace LAN. Each round starts, in the client namespace, a seekwell watch
# (the C test host's `watch`, a search every 30 s, so that only the announcement can reveal the
# new robot) and bench/gssdp_browser.c for upnp:rootdevice; 2 s later it starts an announcing
# simulator (alive three times at start) and 1 s after that sends it TERM (byebye). Measured from
# the script's clock ($EPOCHREALTIME, the same clock stamps every line either peer prints):
#   on:  simulator started -> seekwell ROBOT / GSSDP resource-available
#   off: TERM sent          -> seekwell GONE  / GSSDP resource-unavailable
# seekwell's ROBOT comes after fetching and checking the description; GSSDP's "available" is the
# announcement alone. The like-for-like peer of "on" is a GUPnP control point (tests/tools'
# gupnp-probe), which prints a device once it has fetched its description; it tells no goodbye.
# The simulator's own start (exec, sockets, its first alive) is in every "on" figure alike.
# Not a test: it reports figures. Run as root; it builds its own namespaces and removes them.
#
#   BENCH_BUILD=DIR [BENCH_BEFORE=LIBDIR] bench/e2e_announce.sh [ROUNDS]   (default 7 rounds,
#       ~8 s each; DIR: a build with seekwell, seekwell-robot-sim, seekwell-live-host,
#       seekwell-gssdp-browser and gupnp-probe built; LIBDIR: the folder of an earlier
#       libseekwell.so.2, watched beside in every round as "before")
source "$(dirname "$0")/e2e_lib.sh"

usage() {
    echo "usage: [BENCH_BUILD=DIR] $0 [ROUNDS]"
    echo "  as root; ROUNDS interleaved rounds (default 7, ~8 s each)"
}
case ${1:-} in
    -h | --help)
        usage
        exit 0
        ;;
esac
[[ ${1:-7} =~ ^[1-9][0-9]*$ ]] || {
    usage >&2
    exit 1
}
readonly ROUNDS=${1:-7}
readonly LIVE_HOST="$BENCH_BUILD/tests/discovery/live/seekwell-live-host"
readonly BROWSER="$BENCH_BUILD/bench/seekwell-gssdp-browser"
readonly CONTROL_POINT="$BENCH_BUILD/tests/tools/gupnp-probe"
readonly LONG_PERIOD_MS=30000
# Each peer's life in a round: settle, robot on, robot off, the goodbye heard.
readonly PEER_RUN_S=6
readonly SETTLE_S=2
readonly ON_FOR_S=1
readonly ROBOT_DEVICE=1

simlan_can_run || exit 1
for tool in "$LIVE_HOST" "$BROWSER" "$CONTROL_POINT" "$BENCH_SIMULATOR"; do
    [ -x "$tool" ] || {
        echo "$tool is missing: cmake --build $BENCH_BUILD --target seekwell seekwell-robot-sim" \
            "seekwell-live-host seekwell-gssdp-browser gupnp-probe (libgssdp-1.6-dev, libgupnp-1.6-dev)" >&2
        exit 1
    }
done
BENCH_WORK=$(mktemp -d /tmp/seekwell-announce.XXXXXX)
trap bench_cleanup EXIT
trap 'exit 1' INT TERM
cmake --install "$BENCH_BUILD" --component seekwell --prefix "$BENCH_WORK/prefix" >/dev/null
mkdir -p "$BENCH_WORK/alone" "$BENCH_WORK/before"
cp -P "$(dirname "$(find "$BENCH_WORK/prefix" -name 'libseekwell.so.2' | head -n 1)")"/libseekwell.so* \
    "$BENCH_WORK/alone/"
[ -z "${BENCH_BEFORE:-}" ] || cp -P "$BENCH_BEFORE"/libseekwell.so* "$BENCH_WORK/before/"
simlan_create "announce-$$" $ROBOT_DEVICE

# Every line read, prefixed with the time it was read, in µs.
stamp() {
    local line
    while IFS= read -r line; do echo "${EPOCHREALTIME/./} $line"; done
}
now_us() { echo "${EPOCHREALTIME/./}"; }
# first_us FILE PATTERN: the stamp of the first line whose text matches PATTERN.
first_us() { [ -f "$1" ] && awk -v p="$2" '$2 ~ p { print $1; exit }' "$1"; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "") print "-"; else printf "%.1f\n", (b - a) / 1000 }'; }

run_round() {
    local round=$1 seek="$BENCH_WORK/seek.$1" gssdp="$BENCH_WORK/gssdp.$1" gupnp="$BENCH_WORK/gupnp.$1" on off sim
    local before="$BENCH_WORK/before.$1" beforePid=
    LD_LIBRARY_PATH="$BENCH_WORK/alone" simlan_client "$LIVE_HOST" watch $LONG_PERIOD_MS $((PEER_RUN_S * 1000)) \
        2>&1 | stamp >"$seek" &
    local seekPid=$!
    if [ -n "${BENCH_BEFORE:-}" ]; then
        LD_LIBRARY_PATH="$BENCH_WORK/before" simlan_client "$LIVE_HOST" watch $LONG_PERIOD_MS \
            $((PEER_RUN_S * 1000)) 2>&1 | stamp >"$before" &
        beforePid=$!
    fi
    simlan_client "$BROWSER" "$SIMLAN_CLIENT_IF" $PEER_RUN_S 2>&1 | stamp >"$gssdp" &
    local gssdpPid=$!
    simlan_client "$CONTROL_POINT" $PEER_RUN_S 2>&1 | stamp >"$gupnp" &
    local gupnpPid=$!
    sleep $SETTLE_S
    on=$(now_us)
    simlan_start_more_sim $ROBOT_DEVICE "$BENCH_SIMULATOR" --robots 1 --announce --duration 60
    sim=$SIMLAN_MORE_SIM_PID
    sleep $ON_FOR_S
    off=$(now_us)
    kill -TERM "$sim"
    wait "$sim" 2>/dev/null || true
    wait "$seekPid" "$gssdpPid" "$gupnpPid" $beforePid || true
    local address
    address=$(simlan_device_address $ROBOT_DEVICE)
    local values=(
        "$(ms_between "$on" "$(first_us "$seek" "^ROBOT$")")"
        "$(ms_between "$on" "$(first_us "$gssdp" "^available$")")"
        "$(ms_between "$off" "$(first_us "$seek" "^GONE$")")"
        "$(ms_between "$off" "$(first_us "$gssdp" "^unavailable$")")"
        "$(ms_between "$on" "$(first_us "$gupnp" "^device$")")"
        "$(ms_between "$on" "$(first_us "$before" "^ROBOT$")")"
        "$(ms_between "$off" "$(first_us "$before" "^GONE$")")"
    )
    grep -q "ROBOT .* $address " "$seek" || echo "round $round: seekwell saw no ROBOT at $address" >&2
    bench_record seek_on "${values[0]}"
    bench_record gssdp_on "${values[1]}"
    bench_record seek_off "${values[2]}"
    bench_record gssdp_off "${values[3]}"
    bench_record gupnp_on "${values[4]}"
    bench_record before_on "${values[5]}"
    bench_record before_off "${values[6]}"
    echo "round $round: on seekwell ${values[0]} ms, GSSDP ${values[1]} ms, GUPnP ${values[4]} ms;" \
        "off seekwell ${values[2]} ms, GSSDP ${values[3]} ms; load $(bench_load)" >&2
}

# ratio A B: the median over rounds of A/B, per round.
ratio() {
    paste "$(bench_series "$1")" "$(bench_series "$2")" |
        awk '$1 != "-" && $2 != "-" && $2 > 0 { printf "%.2f\n", $1 / $2 }' >"$BENCH_WORK/ratio.$1"
    bench_stats "$BENCH_WORK/ratio.$1" 2
}

bench_machine
echo "load average (1 min) before: $(bench_load)"
for ((round = 1; round <= ROUNDS; round++)); do
    run_round $round
done
echo "load average (1 min) after: $(bench_load)"
# Rounds where a peer missed the event are left out of its figures.
for series in seek_on gssdp_on gupnp_on seek_off gssdp_off before_on before_off; do
    grep -v '^-$' "$(bench_series $series)" >"$BENCH_WORK/kept.$series" || true
done
echo
echo "| $ROUNDS rounds, ms | seekwell watch | GSSDP 1.6 browser | seekwell / GSSDP | GUPnP control point | seekwell / GUPnP |"
echo "|---|---|---|---|---|---|"
echo "| switched on -> ROBOT / available / device | $(bench_stats "$BENCH_WORK/kept.seek_on") |" \
    "$(bench_stats "$BENCH_WORK/kept.gssdp_on") | $(ratio seek_on gssdp_on) |" \
    "$(bench_stats "$BENCH_WORK/kept.gupnp_on") | $(ratio seek_on gupnp_on) |"
echo "| TERM -> GONE / unavailable | $(bench_stats "$BENCH_WORK/kept.seek_off") |" \
    "$(bench_stats "$BENCH_WORK/kept.gssdp_off") | $(ratio seek_off gssdp_off) | - | - |"
if [ -n "${BENCH_BEFORE:-}" ]; then
    echo
    echo "| $ROUNDS rounds, ms | seekwell watch | seekwell before | now / before |"
    echo "|---|---|---|---|"
    echo "| switched on -> ROBOT | $(bench_stats "$BENCH_WORK/kept.seek_on") |" \
        "$(bench_stats "$BENCH_WORK/kept.before_on") | $(ratio seek_on before_on) |"
    echo "| TERM -> GONE | $(bench_stats "$BENCH_WORK/kept.seek_off") |" \
        "$(bench_stats "$BENCH_WORK/kept.before_off") | $(ratio seek_off before_off) |"
fi
