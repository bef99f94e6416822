#!/usr/bin/env bash
# The live search beside the blocking call on a hostile simulated LAN, both from one C host
# (tests/discovery/live/flood_host.c, measured alike: CPU of the process, and its peak resident
# size over its size at the start) that loads an installed copy of the library alone, each run a
# process of its own, the two alternating run by run so that a change of load falls on both:
#   storm  the reply storm of bench/e2e_storm.sh at 100 000 replies/s (seekwell-ssdp-storm, 50
#          other devices from 200 source address and port pairs; each of the 16 robots answers
#          once at a random moment 0.5 to 3 s into the search): robots found, CPU, memory;
#   flood  the forged-sender flood of the hostile-LAN test (seekwell-ssdp-forger): 2500 replies a
#          second for the whole 10 s window, each from an address nobody owns and with a LOCATION
#          line of 6000 bytes, 100 a second naming their own sender, while the simulator's 16
#          robots and 50 other devices answer (robots 3 and 9 three seconds late): time from a
#          robot's reply to its ROBOT event, DONE after the window, CPU, memory.
# The host and the forger are those of the hostile-LAN test (tests/discovery/live), built with the
# tests. Not a test: it reports figures. Run as root.
#
#   [BENCH_BUILD=DIR] bench/e2e_live_storm.sh [STORM_RUNS] [FLOOD_RUNS]   (default 5 and 3)
source "$(dirname "$0")/e2e_lib.sh"

readonly STORM_RUNS=${1:-5}
readonly FLOOD_RUNS=${2:-3}
readonly CLIENTS=(live blocking)
readonly FLOOD_HOST="$BENCH_BUILD/tests/discovery/live/seekwell-flood-host"
readonly FORGER="$BENCH_BUILD/tests/discovery/live/seekwell-ssdp-forger"
readonly STORM_RATE=100000
readonly PORTS_PER_SOURCE=4
readonly SILENT_SSDP_PORT=1901
readonly STORM_LIFETIME_S=40
readonly FLOOD_RATE=2500
readonly FLOOD_SELF_EVERY=25
readonly FLOOD_LOCATION_BYTES=6000
readonly FORGER_LIFETIME_S=60
readonly LATE_ROBOTS=" 3 9 "
readonly LATE_REPLY_MS=3000
# The client, the robot host and room for more; the devices follow from .10.
readonly TAKEN_HOSTS=192.0.2.1-192.0.2.9

[[ $STORM_RUNS =~ ^[1-9][0-9]*$ && $FLOOD_RUNS =~ ^[1-9][0-9]*$ ]] || {
    echo "usage: [BENCH_BUILD=DIR] $0 [STORM_RUNS] [FLOOD_RUNS]" >&2
    exit 1
}
simlan_can_run || exit 1
for tool in "$FLOOD_HOST" "$FORGER"; do
    [ -x "$tool" ] || configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
done
bench_prepare live-storm
BENCH_LIBRARY_DIR=$(dirname "$BENCH_ALONE")

# host OUTPUT ARGS...: the measuring host in the client namespace with the installed library.
host() {
    local out=$1
    shift
    LD_LIBRARY_PATH="$BENCH_LIBRARY_DIR" simlan_client "$FLOOD_HOST" "$@" >"$out"
    grep -q "^library $BENCH_LIBRARY_DIR/libseekwell.so" "$out" || {
        echo "the host did not load the library in $BENCH_LIBRARY_DIR:" >&2
        cat "$out" >&2
        exit 1
    }
}

# await_ready FILE PID WHAT
await_ready() {
    local waited=0
    while [ ! -e "$1" ]; do
        kill -0 "$2" 2>/dev/null && [ $waited -lt 100 ] || { echo "$3 did not start" >&2; exit 1; }
        sleep 0.1
        waited=$((waited + 1))
    done
}

start_storm() {
    rm -f "$BENCH_WORK/storm.ready"
    ip netns exec "$SIMLAN_ROBOT_NS" "$BENCH_STORM" --interface "$SIMLAN_ROBOT_IF" \
        --first-address "$(simlan_device_address 1)" --robots $BENCH_ROBOTS --others $BENCH_OTHERS \
        --ports-per-source $PORTS_PER_SOURCE --rate $STORM_RATE --duration-ms $BENCH_WINDOW_MS \
        --lifetime $STORM_LIFETIME_S --report "$1" --ready-file "$BENCH_WORK/storm.ready" &
    SENDER_PID=$!
    await_ready "$BENCH_WORK/storm.ready" $SENDER_PID "the storm sender"
}

start_flood() {
    rm -f "$BENCH_WORK/flood.ready"
    ip netns exec "$SIMLAN_ROBOT_NS" "$FORGER" --interface "$SIMLAN_ROBOT_IF" --source 192.0.2.0/24 \
        --avoid $TAKEN_HOSTS --avoid "$(simlan_device_address 1)-$(simlan_device_address $((BENCH_ROBOTS + BENCH_OTHERS)))" \
        --location $SIMLAN_ROBOT_HOST_ADDRESS --self-every $FLOOD_SELF_EVERY --location-bytes $FLOOD_LOCATION_BYTES \
        --rate $FLOOD_RATE --duration-ms $BENCH_WINDOW_MS --lifetime $FORGER_LIFETIME_S --report "$1" \
        --ready-file "$BENCH_WORK/flood.ready" &
    SENDER_PID=$!
    await_ready "$BENCH_WORK/flood.ready" $SENDER_PID "the forger"
}

# Datagrams the client namespace's UDP layer dropped because a socket's receive buffer was full.
receive_buffer_drops() {
    simlan_client cat /proc/net/snmp | awk '
        $1 == "Udp:" && !seen { for (i = 2; i <= NF; ++i) column[$i] = i; seen = 1; next }
        $1 == "Udp:" { print $column["RcvbufErrors"] }'
}

# Time from each robot's reply to its ROBOT event (ms): the simulator answers at once, or
# LATE_REPLY_MS after the search for the late robots; "median max" over the robots of a run.
robot_latencies() {
    local i address at from
    for ((i = 1; i <= BENCH_ROBOTS; i++)); do
        address=$(simlan_device_address $i)
        at=$(grep "^ROBOT +[0-9]* \".*\" $address " "$1" | head -n 1 | sed 's/^ROBOT +\([0-9]*\) .*/\1/')
        [ -n "$at" ] || continue
        from=0
        [[ $LATE_ROBOTS == *" $i "* ]] && from=$LATE_REPLY_MS
        echo $((at - from))
    done | sort -n | awk '{ v[NR] = $1 } END { if (NR) printf "%s %s\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR] }'
}

# run_one PHASE CLIENT RUN: one search of CLIENT under PHASE's sender; its figures go to the series
# PHASE.CLIENT.*.
run_one() {
    local phase=$1 client=$2 run=$3 out=$BENCH_WORK/$1.$2.$3 series=$1.$2 found done_ms drops
    drops=$(receive_buffer_drops)
    "start_$phase" "$out.sender"
    if [ "$client" = live ]; then
        host "$out" events $BENCH_WINDOW_MS "$SIMLAN_CLIENT_IF"
        found=$(grep -c '^ROBOT ' "$out" || true)
        done_ms=$(grep '^DONE ' "$out" | sed 's/^DONE +\([0-9]*\) .*/\1/')
    else
        host "$out" blocking
        found=$(bench_value "$out" result)
        done_ms=$(($(bench_value "$out" elapsed_us) / 1000))
    fi
    wait $SENDER_PID || true
    drops=$(($(receive_buffer_drops) - drops))
    bench_record "$series.drops" "$drops"
    bench_record "$series.found" "$found"
    bench_record "$series.complete" "$([ "$found" = "$BENCH_ROBOTS" ] && echo 1 || echo 0)"
    bench_record "$series.cpu" "$(awk -v us="$(bench_value "$out" cpu_us)" 'BEGIN { printf "%.1f", us / 1000 }')"
    bench_record "$series.memory" "$(bench_value "$out" memory | awk '{ printf "%.2f", $6 / 1024 }')"
    bench_record "$series.done" "$(awk -v ms="$done_ms" -v w=$BENCH_WINDOW_MS 'BEGIN { printf "%.2f", (ms - w) / 1000 }')"
    if [ "$client" = live ] && [ "$phase" = flood ]; then
        read -r median largest < <(robot_latencies "$out")
        bench_record "$series.latency_median" "${median:-}"
        bench_record "$series.latency_max" "${largest:-}"
    fi
    printf '%-5s %-8s run %s: robots %2s, DONE/return %6s ms, CPU %s us, memory %s, sender sent %s, dropped %s, load %s\n' \
        "$phase" "$client" "$run" "$found" "$done_ms" "$(bench_value "$out" cpu_us)" "$(bench_value "$out" memory)" \
        "$(bench_value "$out.sender" storm_sent)$(bench_value "$out.sender" forged_replies)" "$drops" "$(bench_load)"
}

run_phase() {
    local phase=$1 runs=$2 run client
    for ((run = 1; run <= runs; run++)); do
        for client in "${CLIENTS[@]}"; do
            run_one "$phase" "$client" "$run"
        done
    done
}

# ratio PHASE MEASURE: live over blocking, run by run.
ratio() {
    paste "$(bench_series "$1.live.$2")" "$(bench_series "$1.blocking.$2")" |
        awk '$2 > 0 { printf "%.3f\n", $1 / $2 }' >"$BENCH_WORK/ratios"
    bench_stats "$BENCH_WORK/ratios" 3
}

stats() {
    if [ -s "$(bench_series "$1")" ]; then bench_stats "$(bench_series "$1")" 2; else echo -; fi
}

bench_machine
echo "receive buffer of a new UDP socket in the client namespace: $(simlan_client cat /proc/sys/net/core/rmem_default) bytes"
echo "load average (1 min) before: $(bench_load)"
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --ssdp-port $SILENT_SSDP_PORT \
    --duration $BENCH_SIM_LIFETIME_S
run_phase storm "$STORM_RUNS"
kill "$SIMLAN_SIM_PID" && wait "$SIMLAN_SIM_PID" 2>/dev/null || true
SIMLAN_SIM_PID=
simlan_release_local_blocks
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --fault 3:late-reply \
    --fault 9:late-reply --duration $BENCH_SIM_LIFETIME_S
run_phase flood "$FLOOD_RUNS"
echo "load average (1 min) after: $(bench_load)"
echo
echo "| sender | client | runs with all 16 robots | robots found | CPU of the process (ms) | peak memory over the start (MiB) | DONE / return after the 10 s window (s) | dropped at the full receive buffer |"
echo "|---|---|---:|---|---|---|---|---|"
for phase in storm flood; do
    for client in "${CLIENTS[@]}"; do
        complete=$(awk '{ n += $1 } END { printf "%d of %d", n, NR }' "$(bench_series "$phase.$client.complete")")
        echo "| $phase | $client | $complete | $(stats "$phase.$client.found") | $(stats "$phase.$client.cpu") |" \
            "$(stats "$phase.$client.memory") | $(stats "$phase.$client.done") | $(stats "$phase.$client.drops") |"
    done
done
echo
echo "| ratio, live / blocking, run by run (median (min..max)) | storm | flood |"
echo "|---|---|---|"
echo "| CPU | $(ratio storm cpu) | $(ratio flood cpu) |"
echo "| peak memory over the start | $(ratio storm memory) | $(ratio flood memory) |"
echo
echo "flood, live: a robot's reply to its ROBOT event (ms), median of the 16 per run: $(stats flood.live.latency_median);" \
    "largest per run: $(stats flood.live.latency_max)"
