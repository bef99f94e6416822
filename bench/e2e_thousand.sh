#!/usr/bin/env bash
# The live search, a GUPnP control point and a GSSDP resource browser on LANs of 16, 64, 256 and
# 1024 robots that each answer every search at once, so that a search meets a burst of replies.
# The LAN is a /21 (198.18.8.0/21) of two private network namespaces, the client's neighbour
# entries for every robot made permanent beforehand so that no address resolution is measured; one
# simulator serves every robot of a size, each from its own address. Each run takes each size in
# turn and, for it, the three peers one after the other in the client namespace, each for the
# default 10 s window:
#   - the live search: the C test host's `events` mode through the library installed alone (or the
#     libseekwell.so.2 in BENCH_LIBRARY=LIBDIR); the robots it reports, when the first and the last
#     came (ms after the host's start);
#   - a GUPnP 1.6 control point (tests/tools/gupnp_probe.c): the robots whose description it
#     fetched and accepted;
#   - a GSSDP 1.6 resource browser for upnp:rootdevice (bench/gssdp_browser.c): the robots it
#     heard (distinct USNs);
#   - with BENCH_BEFORE=LIBDIR, the live search again through the libseekwell.so.2 in LIBDIR (an
#     earlier build), as "before".
# Each peer runs under seekwell-e2e-measure (process CPU); around it the bench reads the UDP
# counters of both namespaces (/proc/net/snmp): the replies the robot host sent and could not send,
# the datagrams the client took in and those its sockets dropped for want of buffer room
# (RcvbufErrors); and the backlog drops of the whole machine (/proc/net/softnet_stat), so that
# the simulator's losses and the network's can be told from a peer's. Each peer's UDP sockets get
# the receive buffers of a kernel at its defaults (net.core.rmem_default and rmem_max 212992
# bytes, 208 KiB) whatever the machine's settings, which some kernels keep for the whole machine
# and no namespace can change: tests/support/receive_buffer_shim.c, preloaded, sets them socket by socket.
# --rmem BYTES gives both that value instead, a diagnostic. Runs are interleaved, so a change of
# load on the shared machine falls on all alike. Not a test: it reports figures. Run as root; it
# builds its own # namespaces and removes them.
#
#   BENCH_BUILD=DIR [BENCH_LIBRARY=LIBDIR] [BENCH_BEFORE=LIBDIR] bench/e2e_thousand.sh [--sizes "N..."]
#       [--rmem BYTES] [RUNS]
#       RUNS interleaved runs (default 7, ~2 min each with the four sizes); DIR: a build with
#       seekwell, seekwell-robot-sim, seekwell-live-host, seekwell-e2e-measure,
#       seekwell-receive-buffer-shim, seekwell-gssdp-browser and gupnp-probe built (default ./build)
source "$(dirname "$0")/e2e_lib.sh"

usage() {
    echo "usage: [BENCH_BUILD=DIR] [BENCH_LIBRARY=LIBDIR] [BENCH_BEFORE=LIBDIR] $0 [--sizes \"N...\"]" \
        "[--rmem BYTES] [RUNS]"
    echo "  as root; RUNS interleaved runs (default 7, ~2 min each), each taking every size (robots"
    echo "  answering, default \"16 64 256 1024\", at most 1024) and in it the live search, a GUPnP"
    echo "  control point and a GSSDP browser for 10 s each; --rmem BYTES: the peers' sockets get the"
    echo "  receive buffers of net.core.rmem_max = rmem_default = BYTES (default 212992, the kernel's)"
}
sizes="16 64 256 1024"
rmem=212992
runs=7
while [ $# -gt 0 ]; do
    case $1 in
    -h | --help)
        usage
        exit 0
        ;;
    --sizes)
        [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*( [1-9][0-9]*)*$ ]] || {
            usage >&2
            exit 1
        }
        sizes=$2
        shift 2
        ;;
    --rmem)
        [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || {
            usage >&2
            exit 1
        }
        rmem=$2
        shift 2
        ;;
    *)
        [[ $1 =~ ^[1-9][0-9]*$ ]] && [ $# -eq 1 ] || {
            usage >&2
            exit 1
        }
        runs=$1
        shift
        ;;
    esac
done
# shellcheck disable=SC2206 # one size a word
readonly SIZES=($sizes) RMEM=$rmem RUNS=$runs
readonly SUBNET=198.18.8.0/21
readonly MOST_ROBOTS=1024
readonly WINDOW_S=$((BENCH_WINDOW_MS / 1000))
# A peer that has not ended by then is stopped: the window, then the descriptions of a thousand
# robots read one after another at worst, with room to spare.
readonly PEER_LIMIT_S=120
# Between two peers, for the last one's connections to end before the next one searches.
readonly SETTLE_S=1
readonly LIVE_HOST="$BENCH_BUILD/tests/discovery/live/seekwell-live-host"
readonly BROWSER="$BENCH_BUILD/bench/seekwell-gssdp-browser"
readonly CONTROL_POINT="$BENCH_BUILD/tests/tools/gupnp-probe"
readonly SHIM="$BENCH_BUILD/tests/support/libseekwell-receive-buffer-shim.so"
PEERS=(live gupnp gssdp)
[ -z "${BENCH_BEFORE:-}" ] || PEERS+=(before)
readonly PEERS
for size in "${SIZES[@]}"; do
    [ "$size" -le $MOST_ROBOTS ] || {
        echo "at most $MOST_ROBOTS robots, not $size" >&2
        exit 1
    }
done

simlan_can_run || exit 1
for tool in "$LIVE_HOST" "$BROWSER" "$CONTROL_POINT" "$BENCH_MEASURE" "$BENCH_SIMULATOR" "$SHIM"; do
    [ -x "$tool" ] || {
        echo "$tool is missing: cmake --build $BENCH_BUILD --target seekwell seekwell-robot-sim seekwell-live-host" \
            "seekwell-e2e-measure seekwell-receive-buffer-shim seekwell-gssdp-browser gupnp-probe" \
            "(libgssdp-1.6-dev, libgupnp-1.6-dev)" >&2
        exit 1
    }
done
BENCH_WORK=$(mktemp -d /tmp/seekwell-thousand.XXXXXX)
trap bench_cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$BENCH_WORK/alone"
if [ -n "${BENCH_LIBRARY:-}" ]; then
    cp -P "$BENCH_LIBRARY"/libseekwell.so* "$BENCH_WORK/alone/"
else
    cmake --install "$BENCH_BUILD" --component seekwell --prefix "$BENCH_WORK/prefix" >/dev/null
    cp -P "$(dirname "$(find "$BENCH_WORK/prefix" -name 'libseekwell.so.2' | head -n 1)")"/libseekwell.so* \
        "$BENCH_WORK/alone/"
fi
if [ -n "${BENCH_BEFORE:-}" ]; then
    mkdir -p "$BENCH_WORK/before"
    cp -P "$BENCH_BEFORE"/libseekwell.so* "$BENCH_WORK/before/"
fi
simlan_create_subnet "thousand-$$" $SUBNET $MOST_ROBOTS
simlan_pin_neighbours

# udp_counters RUNNER: "InDatagrams RcvbufErrors OutDatagrams SndbufErrors" of the namespace the
# runner (simlan_client or simlan_robots) enters.
udp_counters() {
    "$1" cat /proc/net/snmp | awk '
        $1 == "Udp:" && !named { for (i = 2; i <= NF; i++) column[$i] = i; named = 1; next }
        $1 == "Udp:" { print $column["InDatagrams"], $column["RcvbufErrors"], $column["OutDatagrams"], $column["SndbufErrors"] }'
}

# Packets the kernel dropped from a CPU's backlog, all CPUs, the whole machine (its namespaces share
# the backlogs).
backlog_drops() {
    local total=0 _ dropped
    while read -r _ dropped _; do
        total=$((total + 16#$dropped))
    done </proc/net/softnet_stat
    echo $total
}

start_robots() {
    simlan_start_sim "$BENCH_SIMULATOR" --robots "$1" --duration $BENCH_SIM_LIFETIME_S
}

stop_robots() {
    kill "$SIMLAN_SIM_PID"
    wait "$SIMLAN_SIM_PID" || true
    SIMLAN_SIM_PID=
    rm -f "$SIMLAN_SIM_READY_FILE"
}

# robots_found PEER OUTPUT: the distinct robots the peer reported.
robots_found() {
    case $1 in
    live | before) awk '$1 == "UDN" { print $2 }' "$2" ;;
    gupnp) sed -n 's/^device .*|\(uuid:R0VA-[^|]*\)$/\1/p' "$2" ;;
    gssdp) awk '$1 == "available" && $3 ~ /^uuid:R0VA-/ { print $3 }' "$2" ;;
    esac | sort -u | wc -l
}

# library_of PEER: the folder of the library the live search of PEER (live or before) loads.
library_of() {
    if [ "$1" = live ]; then
        echo "$BENCH_WORK/alone"
    else
        echo "$BENCH_WORK/before"
    fi
}

# run_peer PEER SIZE RUN: one peer's window on the LAN of SIZE robots, and its figures.
run_peer() {
    local peer=$1 size=$2 run=$3 out="$BENCH_WORK/$1.$2.$3" drops status
    local command=(env LD_PRELOAD="$SHIM" SEEKWELL_BENCH_RMEM_DEFAULT="$RMEM" SEEKWELL_BENCH_RMEM_MAX="$RMEM")
    local client=() robots=() after=()
    case $peer in
    live | before) command+=(LD_LIBRARY_PATH="$(library_of "$peer")" "$LIVE_HOST" events "$BENCH_WINDOW_MS") ;;
    gupnp) command+=("$CONTROL_POINT" "$WINDOW_S") ;;
    gssdp) command+=("$BROWSER" "$SIMLAN_CLIENT_IF" "$WINDOW_S") ;;
    esac
    read -r -a client < <(udp_counters simlan_client)
    read -r -a robots < <(udp_counters simlan_robots)
    drops=$(backlog_drops)
    status=0
    simlan_client timeout $PEER_LIMIT_S "$BENCH_MEASURE" "$out.cost" "${command[@]}" >"$out" 2>"$out.err" || status=$?
    [ $status -eq 0 ] || echo "run $run, $size robots: $peer ended with status $status" >&2
    local series="$peer.$size"
    bench_record "$series.found" "$(robots_found "$peer" "$out")"
    bench_record "$series.cpu" "$(awk '{ printf "%.0f\n", $1 / 1000 }' <<<"$(bench_value "$out.cost" cpu_us)")"
    read -r -a after < <(udp_counters simlan_client)
    bench_record "$series.received" $((after[0] - client[0]))
    bench_record "$series.rcvbuf_drops" $((after[1] - client[1]))
    read -r -a after < <(udp_counters simlan_robots)
    bench_record "$series.sent" $((after[2] - robots[2]))
    bench_record "$series.send_failures" $((after[3] - robots[3]))
    bench_record "$series.backlog_drops" $(($(backlog_drops) - drops))
    if [ "$peer" = live ] || [ "$peer" = before ]; then
        local library
        library=$(library_of "$peer")
        grep -q "^library $library/libseekwell.so" "$out" || {
            echo "the live host did not load the library in $library:" >&2
            head -n 3 "$out" >&2
            exit 1
        }
        awk '$1 == "ROBOT" { sub(/^\+/, "", $2); print $2 }' "$out" | sort -n >"$out.times"
        if [ -s "$out.times" ]; then
            bench_record "$series.first" "$(head -n 1 "$out.times")"
            bench_record "$series.last" "$(tail -n 1 "$out.times")"
        fi
    fi
}

bench_machine
echo "live search: the library from ${BENCH_LIBRARY:-$BENCH_BUILD}${BENCH_BEFORE:+; before: $BENCH_BEFORE}"
echo "receive buffers of each peer's UDP sockets: as net.core.rmem_max = rmem_default = $RMEM bytes give them" \
    "(the client namespace's own: rmem_max $(simlan_client cat /proc/sys/net/core/rmem_max)," \
    "rmem_default $(simlan_client cat /proc/sys/net/core/rmem_default))"
echo "load average (1 min) before: $(bench_load)"
for ((run = 1; run <= RUNS; run++)); do
    for size in "${SIZES[@]}"; do
        start_robots "$size"
        for peer in "${PEERS[@]}"; do
            run_peer "$peer" "$size" "$run"
            sleep $SETTLE_S
        done
        stop_robots
    done
    echo "run $run of $RUNS done, load $(bench_load)" >&2
done
echo "load average (1 min) after: $(bench_load)"
echo

# cell SERIES: "median [min..max]" of a series, "-" where it is empty.
cell() {
    if [ -s "$(bench_series "$1")" ]; then
        bench_stats "$(bench_series "$1")" | sed 's/ (\(.*\))$/ [\1]/'
    else
        echo -
    fi
}

echo "| robots answering at once; median [min..max] over $RUNS runs | live search: robots | first robot (ms) |" \
    "last robot (ms) | process CPU (ms) | GUPnP control point: robots | GSSDP browser: robots |"
echo "|---|---|---|---|---|---|---|"
for size in "${SIZES[@]}"; do
    echo "| $size | $(cell live.$size.found) | $(cell live.$size.first) | $(cell live.$size.last) |" \
        "$(cell live.$size.cpu) | $(cell gupnp.$size.found) | $(cell gssdp.$size.found) |"
done
if [ -n "${BENCH_BEFORE:-}" ]; then
    echo
    echo "The live search through the library in $BENCH_BEFORE, in the same runs:"
    echo
    echo "| robots answering at once; median [min..max] over $RUNS runs | before: robots | first robot (ms) |" \
        "last robot (ms) | process CPU (ms) | now / before: robots | last robot |"
    echo "|---|---|---|---|---|---|---|"
    for size in "${SIZES[@]}"; do
        for measure in found last; do
            paste "$(bench_series live.$size.$measure)" "$(bench_series before.$size.$measure)" |
                awk '$2 > 0 { printf "%.2f\n", $1 / $2 }' >"$BENCH_WORK/ratio.$size.$measure"
        done
        echo "| $size | $(cell before.$size.found) | $(cell before.$size.first) | $(cell before.$size.last) |" \
            "$(cell before.$size.cpu) | $(bench_stats "$BENCH_WORK/ratio.$size.found" 2 | sed 's/ (\(.*\))$/ [\1]/') |" \
            "$(bench_stats "$BENCH_WORK/ratio.$size.last" 2 | sed 's/ (\(.*\))$/ [\1]/') |"
    done
fi
echo
echo "Per peer, over its window: the SSDP replies the robot host sent and those it could not send, the"
echo "UDP datagrams the client took in, those the client's sockets dropped for want of buffer room"
echo "(RcvbufErrors), the machine's backlog drops and the peer's process CPU."
echo
echo "| robots | peer | replies sent | replies not sent | datagrams received by the client |" \
    "receive-buffer drops | backlog drops | process CPU (ms) |"
echo "|---|---|---|---|---|---|---|---|"
for size in "${SIZES[@]}"; do
    for peer in "${PEERS[@]}"; do
        s=$peer.$size
        echo "| $size | $peer | $(cell $s.sent) | $(cell $s.send_failures) | $(cell $s.received) |" \
            "$(cell $s.rcvbuf_drops) | $(cell $s.backlog_drops) | $(cell $s.cpu) |"
    done
done
