#!/usr/bin/env bash
# One discovery on a quiet simulated LAN of 16 robots and 50 other UPnP devices, inside private
# network namespaces: our library on both paths, and gssdp-discover and node-ssdp on the same
# network in the same run, each given the same 10 s window and measured by the same wrapper.
# Runs are interleaved (run 1 of each, then run 2 of each...), so a change of load on the shared
# machine falls on all of them alike. Not a test: it reports figures. Run as root.
#
#   bench/e2e_discovery.sh [RUNS]       (default 5; uses ./build, building it when needed)
#
# node-ssdp comes from npm into NODE_SSDP_DIR (default /tmp/seekwell-bench-node-ssdp), once.
source "$(dirname "$0")/e2e_lib.sh"

readonly RUNS=${1:-5}
readonly NODE_SSDP_DIR=${NODE_SSDP_DIR:-/tmp/seekwell-bench-node-ssdp}
readonly NODE_SSDP_VERSION=4.0.1
readonly ROBOT_USN='^uuid:R0VA'
# Mappings shown per path in the memory breakdown.
readonly TOP_MAPPINGS=12

CONTENDERS=(builtin finder gssdp)

have_node_ssdp() {
    command -v node >/dev/null || return 1
    [ -d "$NODE_SSDP_DIR/node_modules/node-ssdp" ] && return 0
    command -v npm >/dev/null || return 1
    npm install --prefix "$NODE_SSDP_DIR" --no-audit --no-fund --silent "node-ssdp@$NODE_SSDP_VERSION" >&2
}

# run_contender NAME OUTPUT: runs one discovery of NAME in the client namespace under the
# measuring wrapper, whose report goes to OUTPUT.measure.
run_contender() {
    local name=$1 out=$2
    case $name in
        builtin) simlan_client "$BENCH_MEASURE" "$out.measure" "$BENCH_HOST" "$BENCH_ALONE" ;;
        finder) simlan_client "$BENCH_MEASURE" "$out.measure" "$BENCH_HOST" "$BENCH_FINDER" ;;
        gssdp) simlan_client "$BENCH_MEASURE" "$out.measure" gssdp-discover -i "$SIMLAN_CLIENT_IF" \
            --timeout $((BENCH_WINDOW_MS / 1000)) -t "$BENCH_TARGET" ;;
        node) simlan_client "$BENCH_MEASURE" "$out.measure" env NODE_PATH="$NODE_SSDP_DIR/node_modules" \
            node "$BENCH_DIR/node_ssdp_client.js" "$SIMLAN_CLIENT_IF" "$BENCH_WINDOW_MS" "$BENCH_TARGET" ;;
    esac >"$out"
}

# Distinct USNs a peer printed, one per line.
peer_usns() {
    case $1 in
        gssdp) sed -n 's/^ *USN: *//p' "$2" ;;
        node) awk '/^responder /{ print $2 }' "$2" ;;
    esac | sort -u
}

record_run() {
    local name=$1 out=$2
    local wall_us cpu_us
    wall_us=$(bench_value "$out.measure" wall_us)
    cpu_us=$(bench_value "$out.measure" cpu_us)
    bench_record "$name.over_process" "$(awk -v w="$wall_us" -v win=$BENCH_WINDOW_MS 'BEGIN { printf "%.1f", w / 1000 - win }')"
    bench_record "$name.cpu_process" "$(awk -v c="$cpu_us" 'BEGIN { printf "%.1f", c / 1000 }')"
    bench_record "$name.rss" "$(awk -v k="$(bench_value "$out.measure" maxrss_kb)" 'BEGIN { printf "%.1f", k / 1024 }')"
    case $name in
        builtin | finder)
            bench_record "$name.found" "$(bench_value "$out" result)"
            bench_record "$name.over_call" "$(($(bench_value "$out" elapsed_ms) - BENCH_WINDOW_MS))"
            bench_record "$name.cpu_call" "$(awk -v c="$(bench_value "$out" cpu_us)" 'BEGIN { printf "%.1f", c / 1000 }')"
            ;;
        *)
            bench_record "$name.found" "$(peer_usns "$name" "$out" | grep -c "$ROBOT_USN" || true)"
            bench_record "$name.heard" "$(peer_usns "$name" "$out" | wc -l)"
            ;;
    esac
}

# table_row LABEL SERIES: one markdown row, one column per contender.
table_row() {
    local label=$1 series=$2 name cells=""
    for name in "${CONTENDERS[@]}"; do
        if [ -s "$(bench_series "$name.$series")" ]; then
            cells+=" $(bench_stats "$(bench_series "$name.$series")") |"
        else
            cells+=" - |"
        fi
    done
    echo "| $label |$cells"
}

print_table() {
    local header="| measure (median (min..max) over $RUNS runs) |" rule="|---|" name
    for name in "${CONTENDERS[@]}"; do
        header+=" $name |"
        rule+="---|"
    done
    echo "$header"
    echo "$rule"
    table_row "wall time beyond the 10 s window, whole process (ms)" over_process
    table_row "wall time beyond the window, the call alone (ms)" over_call
    table_row "CPU user+sys, whole process (ms)" cpu_process
    table_row "CPU user+sys, the call alone (ms)" cpu_call
    table_row "peak RSS (MiB)" rss
    table_row "robots found (ours) / robot USNs heard (peers)" found
    table_row "responders heard (peers)" heard
}

# Sonames that libseekwell loads only because of libcurl: everything it needs except the C and
# C++ runtimes.
curl_chain_sonames() {
    ldd "$BENCH_ALONE" | awk '$1 ~ /^lib/ && $1 !~ /^lib(c|m|gcc_s|stdc\+\+|seekwell)\.so/ { print $1 }'
}

# Where the resident memory of a host goes, on each path: one discovery each.
print_memory() {
    local path lib out
    for path in builtin finder; do
        [ $path = builtin ] && lib=$BENCH_ALONE || lib=$BENCH_FINDER
        out="$BENCH_WORK/memory.$path"
        simlan_client "$BENCH_MEMORY_HOST" "$lib" >"$out"
        echo "memory, $path path (kB):"
        sed -n 's/^stage /  /p; s/^peak_kb /  peak /p; s/^result /  robots found /p' "$out"
        curl_chain_sonames | awk '
            NR == FNR { chain[++n] = $1; next }
            /^mapping / {
                if ($3 == "[anonymous]" || $3 == "[heap]" || $3 == "[stack]") { anon += $2; next }
                if ($3 ~ /^(libseekwell|seekwell-finder)/) { ours += $2; next }
                for (i = 1; i <= n; ++i) if (index($3, chain[i]) == 1) { curl += $2; next }
                other += $2
            }
            END { printf "  after the search: %d kB libcurl and the libraries only it brings, %d kB our own" \
                         " libraries, %d kB other files, %d kB anonymous, heap and stack\n", curl, ours, other, anon }
        ' - "$out"
        echo "  largest mappings:"
        grep '^mapping ' "$out" | head -n $TOP_MAPPINGS | awk '{ printf "    %6d %s\n", $2, $3 }'
    done
}

bench_prepare seekwell-bench
command -v gssdp-discover >/dev/null || { echo "gssdp-discover is missing (Debian package gupnp-tools)" >&2; exit 1; }
if have_node_ssdp; then
    CONTENDERS+=(node)
else
    echo "node or node-ssdp is unavailable: node-ssdp left out" >&2
fi
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --duration $BENCH_SIM_LIFETIME_S

bench_machine
echo "load average (1 min) before: $(bench_load)"
for ((run = 1; run <= RUNS; run++)); do
    for name in "${CONTENDERS[@]}"; do
        run_contender "$name" "$BENCH_WORK/$name.$run.out"
        record_run "$name" "$BENCH_WORK/$name.$run.out"
    done
    echo "run $run of $RUNS done, load $(bench_load)" >&2
done
echo "load average (1 min) after: $(bench_load)"
echo
print_table
echo
print_memory
