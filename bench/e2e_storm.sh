#!/usr/bin/env bash
# A reply storm on the simulated LAN: while a client searches, the 50 other devices flood it with
# replies at a fixed rate (seekwell-ssdp-storm, from 200 source address and port pairs), and each
# of the 16 robots answers every search once, at a random moment 0.5 to 3 s after it, inside the
# storm. Counts, per rate, the runs in which the client still found every robot: our built-in
# path (no socket option, so the default receive buffer) against gssdp-discover, the two
# alternating run by run. Not a test: it reports figures. Run as root.
#
#   bench/e2e_storm.sh [RATES] [RUNS] [TOP_RATES] [TOP_RUNS]
#       defaults: "10000 25000 50000 100000", 3 runs each, then 10 runs each at "50000 100000"
#
# The simulator serves the robots' descriptions but listens for searches on another port, so
# only the storm sender answers them.
source "$(dirname "$0")/e2e_lib.sh"

readonly RATES=${1:-10000 25000 50000 100000}
readonly RUNS=${2:-3}
readonly TOP_RATES=${3:-50000 100000}
readonly TOP_RUNS=${4:-10}
readonly CLIENTS=(ours gssdp)
readonly SILENT_SSDP_PORT=1901
readonly PORTS_PER_SOURCE=4
readonly STORM_LIFETIME_S=40
# gssdp-discover may fall behind its own timer under a storm; it is ended after this.
readonly CLIENT_LIMIT_S=30
readonly ROBOT_USN='^uuid:R0VA'

# Datagrams the client namespace's UDP layer dropped because a socket's receive buffer was full.
receive_buffer_drops() {
    simlan_client cat /proc/net/snmp | awk '
        $1 == "Udp:" && !seen { for (i = 2; i <= NF; ++i) column[$i] = i; seen = 1; next }
        $1 == "Udp:" { print $column["RcvbufErrors"] }'
}

start_storm() {
    local rate=$1 report=$2 ready=$BENCH_WORK/storm.ready
    rm -f "$ready"
    ip netns exec "$SIMLAN_ROBOT_NS" "$BENCH_STORM" --interface "$SIMLAN_ROBOT_IF" \
        --first-address "$(simlan_device_address 1)" --robots $BENCH_ROBOTS --others $BENCH_OTHERS \
        --ports-per-source $PORTS_PER_SOURCE --rate "$rate" --duration-ms $BENCH_WINDOW_MS \
        --lifetime $STORM_LIFETIME_S --report "$report" --ready-file "$ready" &
    STORM_PID=$!
    local waited=0
    while [ ! -e "$ready" ]; do
        kill -0 $STORM_PID 2>/dev/null && [ $waited -lt 100 ] || { echo "the storm sender did not start" >&2; exit 1; }
        sleep 0.1
        waited=$((waited + 1))
    done
}

# robots_found CLIENT OUTPUT
robots_found() {
    case $1 in
        ours) bench_value "$2" result ;;
        gssdp) sed -n 's/^ *USN: *//p' "$2" | sort -u | grep -c "$ROBOT_USN" || true ;;
    esac
}

# storm_run CLIENT RATE RUN SERIES: one search of CLIENT inside a storm at RATE; one line of
# results, and the figures appended to the series SERIES.*.
storm_run() {
    local client=$1 rate=$2 run=$3 series=$4 out=$BENCH_WORK/$4.$3 drops_before drops_after
    drops_before=$(receive_buffer_drops)
    start_storm "$rate" "$out.storm"
    case $client in
        ours) simlan_client "$BENCH_HOST" "$BENCH_ALONE" ;;
        gssdp) simlan_client timeout $CLIENT_LIMIT_S gssdp-discover -i "$SIMLAN_CLIENT_IF" \
            --timeout $((BENCH_WINDOW_MS / 1000)) -t "$BENCH_TARGET" || true ;;
    esac >"$out"
    wait $STORM_PID || true
    drops_after=$(receive_buffer_drops)
    local found sent seconds
    found=$(robots_found "$client" "$out")
    sent=$(bench_value "$out.storm" storm_sent)
    seconds=$(bench_value "$out.storm" storm_seconds)
    bench_record "$series.found" "$found"
    bench_record "$series.drops" "$((drops_after - drops_before))"
    bench_record "$series.achieved" "$(awk -v n="$sent" -v s="$seconds" 'BEGIN { printf("%d", s > 0 ? n / s : 0) }')"
    bench_record "$series.complete" "$([ "$found" = "$BENCH_ROBOTS" ] && echo 1 || echo 0)"
    printf '%-6s rate %7s run %2s: robots %2s, storm %8s datagrams in %5.2f s (failed %s), searches %s,' \
        "$client" "$rate" "$run" "$found" "$sent" "$seconds" "$(bench_value "$out.storm" storm_failed)" \
        "$(bench_value "$out.storm" searches)"
    printf ' robot replies %s, dropped at the full receive buffer %s, CPU of the call %s us, load %s\n' \
        "$(bench_value "$out.storm" robot_replies)" "$((drops_after - drops_before))" \
        "$(bench_value "$out" cpu_us)" "$(bench_load)"
}

# run_rate PHASE RATE RUNS: RUNS runs of each client, alternating; series PHASE.RATE.CLIENT.
run_rate() {
    local phase=$1 rate=$2 runs=$3 run client
    for ((run = 1; run <= runs; run++)); do
        for client in "${CLIENTS[@]}"; do
            storm_run "$client" "$rate" "$run" "$phase.$rate.$client"
        done
    done
}

print_table() {
    local phase rate client series complete
    echo "| storm rate (replies/s) | client | runs with all 16 robots | robots found | sent per s (achieved) | dropped at the receive buffer |"
    echo "|---:|---|---:|---|---|---|"
    # Series are PHASE.RATE.CLIENT: the ladder first, then the long set at the top rate.
    (cd "$BENCH_WORK" && ls series.*.found) | sed 's/^series\.//; s/\.found$//' | tr . ' ' |
        sort -k 1,1 -k 2,2n -k 3,3r | while read -r phase rate client; do
            series=$phase.$rate.$client
            complete=$(awk '{ n += $1 } END { printf "%d of %d", n, NR }' "$(bench_series "$series.complete")")
            echo "| $rate | $client | $complete | $(bench_stats "$(bench_series "$series.found")") |" \
                "$(bench_stats "$(bench_series "$series.achieved")") |" \
                "$(bench_stats "$(bench_series "$series.drops")") |"
        done
}

bench_prepare seekwell-storm
command -v gssdp-discover >/dev/null || { echo "gssdp-discover is missing (Debian package gupnp-tools)" >&2; exit 1; }
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS \
    --ssdp-port $SILENT_SSDP_PORT --duration $BENCH_SIM_LIFETIME_S

bench_machine
echo "receive buffer of a new UDP socket in the client namespace: $(simlan_client cat /proc/sys/net/core/rmem_default) bytes"
echo "load average (1 min) before: $(bench_load)"
for rate in $RATES; do
    run_rate ladder "$rate" "$RUNS"
done
for rate in $TOP_RATES; do
    run_rate top "$rate" "$TOP_RUNS"
done
echo "load average (1 min) after: $(bench_load)"
echo
print_table
