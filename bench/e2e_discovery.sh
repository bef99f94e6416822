#!/usr/bin/env bash
# One discovery on a quiet simulated LAN of 16 robots and 50 other UPnP devices, inside private
# network namespaces: our library on the built-in path as it is and as it was while it linked
# libcurl (commit BUILTIN_BEFORE_COMMIT), on the finder path as it is (a helper process per
# search) and as it was before (a plugin loaded into the host, commit BEFORE_COMMIT), and
# gssdp-discover and node-ssdp on the same network in the same run, each given the same 10 s
# window and measured by the same wrapper. Runs are interleaved (run 1 of each, then run 2 of
# each...), so a change of load on the shared machine falls on all of them alike. Not a test: it
# reports figures. Run as root.
#
#   bench/e2e_discovery.sh [RUNS]       (default 5; uses ./build, building it when needed)
#   BENCH_ONLY=builtin bench/e2e_discovery.sh [RUNS]    (the two built-in columns alone)
#
# node-ssdp comes from npm into NODE_SSDP_DIR (default /tmp/seekwell-bench-node-ssdp), once. The
# libraries of the older commits are built once into BEFORE_DIR and BUILTIN_BEFORE_DIR and kept.
source "$(dirname "$0")/e2e_lib.sh"

readonly RUNS=${1:-5}
readonly NODE_SSDP_DIR=${NODE_SSDP_DIR:-/tmp/seekwell-bench-node-ssdp}
readonly NODE_SSDP_VERSION=4.0.1
readonly ROBOT_USN='^uuid:R0VA'
# Mappings shown per path in the memory breakdown.
readonly TOP_MAPPINGS=12
# The last commit whose finder path loads its GUPnP plugin into the host.
readonly BEFORE_COMMIT=baa7066
readonly BEFORE_DIR=${BEFORE_DIR:-/tmp/seekwell-bench-before-$BEFORE_COMMIT}
# The last commit whose library links libcurl, loading it with the library.
readonly BUILTIN_BEFORE_COMMIT=656aa6c
readonly BUILTIN_BEFORE_DIR=${BUILTIN_BEFORE_DIR:-/tmp/seekwell-bench-before-$BUILTIN_BEFORE_COMMIT}
# "builtin" runs only our two built-in columns; anything else, everything.
readonly BENCH_ONLY=${BENCH_ONLY:-}

# Our library in its forms, and everything compared.
if [ "$BENCH_ONLY" = builtin ]; then
    OURS=(builtin builtin-before)
    CONTENDERS=("${OURS[@]}")
else
    OURS=(builtin builtin-before finder-before finder)
    CONTENDERS=("${OURS[@]}" helper gssdp)
fi

# prepare_builtin_before: builds the library of BUILTIN_BEFORE_COMMIT when BUILTIN_BEFORE_DIR
# lacks it, and sets BENCH_BUILTIN_BEFORE to a copy of it alone in a folder.
prepare_builtin_before() {
    local built="$BUILTIN_BEFORE_DIR/build/discovery"
    [ -e "$built/libseekwell.so.2" ] || bench_build_commit "$BUILTIN_BEFORE_COMMIT" "$BUILTIN_BEFORE_DIR" seekwell
    mkdir -p "$BENCH_WORK/builtin-before"
    cp -P "$built"/libseekwell.so* "$BENCH_WORK/builtin-before/"
    BENCH_BUILTIN_BEFORE="$BENCH_WORK/builtin-before/libseekwell.so.2"
}

# prepare_before: builds the library and its plugin from BEFORE_COMMIT when BEFORE_DIR lacks
# them, and sets BENCH_BEFORE to a copy of that library with its plugin folder beside it.
prepare_before() {
    local built="$BEFORE_DIR/build/discovery"
    [ -e "$built/seekwell/seekwell-finder-gupnp.so" ] ||
        bench_build_commit "$BEFORE_COMMIT" "$BEFORE_DIR" seekwell seekwell-finder-gupnp
    mkdir -p "$BENCH_WORK/before/seekwell"
    cp -P "$built"/libseekwell.so* "$BENCH_WORK/before/"
    cp "$built/seekwell/seekwell-finder-gupnp.so" "$BENCH_WORK/before/seekwell/"
    BENCH_BEFORE="$BENCH_WORK/before/libseekwell.so.2"
}

# The library a contender of ours loads.
library_of() {
    case $1 in
        builtin) echo "$BENCH_ALONE" ;;
        builtin-before) echo "$BENCH_BUILTIN_BEFORE" ;;
        finder-before) echo "$BENCH_BEFORE" ;;
        finder) echo "$BENCH_FINDER" ;;
    esac
}

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
        builtin | builtin-before | finder-before | finder)
            simlan_client "$BENCH_MEASURE" "$out.measure" "$BENCH_HOST" "$(library_of "$name")" ;;
        # The helper started by the wrapper, not by the library: its own CPU and peak RSS, with
        # no share of a host's memory (a child that the library spawns shares the host's pages
        # until its exec, and its peak RSS counts them). Its stream goes nowhere.
        helper) simlan_client "$BENCH_MEASURE" "$out.measure" "$(dirname "$BENCH_FINDER")/seekwell/seekwell-finder-gupnp" \
            --search 3>/dev/null <<<"$BENCH_TARGET $BENCH_WINDOW_MS" ;;
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

ms_of_us() {
    awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'
}

mib_of_kb() {
    awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'
}

record_run() {
    local name=$1 out=$2
    local wall_us cpu_us
    wall_us=$(bench_value "$out.measure" wall_us)
    cpu_us=$(bench_value "$out.measure" cpu_us)
    bench_record "$name.over_process" "$(awk -v w="$wall_us" -v win=$BENCH_WINDOW_MS 'BEGIN { printf "%.1f", w / 1000 - win }')"
    bench_record "$name.cpu_process" "$(ms_of_us "$cpu_us")"
    bench_record "$name.rss" "$(mib_of_kb "$(bench_value "$out.measure" maxrss_kb)")"
    case $name in
        builtin | builtin-before | finder-before | finder)
            bench_record "$name.found" "$(bench_value "$out" result)"
            bench_record "$name.over_call" "$(awk -v us="$(bench_value "$out" elapsed_us)" -v win=$BENCH_WINDOW_MS \
                'BEGIN { printf "%.1f", us / 1000 - win }')"
            bench_record "$name.cpu_call" "$(ms_of_us "$(bench_value "$out" cpu_us)")"
            # The wrapper's figures take in the children the host reaped; the host's own do not.
            bench_record "$name.cpu_host" "$(ms_of_us "$(bench_value "$out" self_cpu_us)")"
            bench_record "$name.rss_host" "$(mib_of_kb "$(bench_value "$out" maxrss_kb)")"
            bench_record "$name.cpu_helper" "$(ms_of_us "$(bench_value "$out" children_cpu_us)")"
            bench_record "$name.rss_helper" "$(mib_of_kb "$(bench_value "$out" children_maxrss_kb)")"
            ;;
        helper) ;;
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
    table_row "CPU user+sys, whole process and the children it reaped (ms)" cpu_process
    table_row "CPU user+sys, host process alone, start to the call's return (ms)" cpu_host
    table_row "CPU user+sys, host process during the call (ms)" cpu_call
    table_row "CPU user+sys, helper processes (ms)" cpu_helper
    table_row "peak RSS, largest of the process and the children it reaped (MiB)" rss
    table_row "peak RSS, host process alone (MiB)" rss_host
    table_row "peak RSS, largest helper process (MiB)" rss_helper
    table_row "robots found (ours) / robot USNs heard (peers)" found
    table_row "responders heard (peers)" heard
}

# ratio_row LABEL SERIES A B: A's figure over B's, run by run, as "median (min..max)".
ratio_row() {
    local ratios="$BENCH_WORK/ratios"
    paste "$(bench_series "$3.$2")" "$(bench_series "$4.$2")" |
        awk '$2 > 0 { printf "%.3f\n", $1 / $2 }' >"$ratios"
    echo "| $1 | $(bench_stats "$ratios" 2) |"
}

# Our paths now against before, each ratio taken between runs of the same round.
print_ratios() {
    echo "| ratio, run by run (median (min..max) over $RUNS runs) | |"
    echo "|---|---|"
    ratio_row "call's time beyond the window, builtin / builtin-before" over_call builtin builtin-before
    ratio_row "whole process's time beyond the window, builtin / builtin-before" over_process builtin builtin-before
    ratio_row "host CPU during the call, builtin / builtin-before" cpu_call builtin builtin-before
    ratio_row "CPU of the whole process, builtin / builtin-before" cpu_process builtin builtin-before
    ratio_row "host peak RSS, builtin / builtin-before" rss_host builtin builtin-before
    [ "$BENCH_ONLY" = builtin ] && return 0
    ratio_row "host peak RSS, finder / finder-before" rss_host finder finder-before
    ratio_row "host CPU during the call, finder / finder-before" cpu_call finder finder-before
    ratio_row "host CPU alone, finder / finder-before" cpu_host finder finder-before
    ratio_row "CPU of host and helpers, finder / finder-before" cpu_process finder finder-before
    ratio_row "host peak RSS, finder / builtin" rss_host finder builtin
}

# Sonames of a library's dependencies, sorted.
needed_sonames() {
    ldd "$1" | awk '$1 ~ /^lib/ { print $1 }' | sort
}

# Sonames that libseekwell loads only because of libcurl: everything that the library of
# BUILTIN_BEFORE_COMMIT, which links libcurl, needs except the C and C++ runtimes.
curl_chain_sonames() {
    needed_sonames "$BENCH_BUILTIN_BEFORE" | grep -Ev '^lib(c|m|gcc_s|stdc\+\+|seekwell)\.so'
}

# Sonames that only the former plugin brought into the host: GLib, GSSDP, GUPnP, libsoup,
# libxml2 and what they need beyond libseekwell's own dependencies.
finder_stack_sonames() {
    [ -n "${BENCH_BEFORE:-}" ] || return 0
    comm -23 <(needed_sonames "$(dirname "$BENCH_BEFORE")/seekwell/seekwell-finder-gupnp.so") \
        <(needed_sonames "$BENCH_ALONE")
}

# Where the resident memory of a host goes, on each of our paths: one discovery each.
print_memory() {
    local name out
    for name in "${OURS[@]}"; do
        out="$BENCH_WORK/memory.$name"
        simlan_client "$BENCH_MEMORY_HOST" "$(library_of "$name")" >"$out"
        echo "memory, $name (kB):"
        sed -n 's/^stage /  /p; s/^peak_kb /  peak /p; s/^children_peak_kb /  largest helper peak /p;
                s/^result /  robots found /p' "$out"
        awk '
            FILENAME == ARGV[1] { curl[$1] = 1; next }
            FILENAME == ARGV[2] { stack[$1] = 1; next }
            /^mapping / {
                if ($3 == "[anonymous]" || $3 == "[heap]" || $3 == "[stack]") { anon += $2; next }
                if ($3 ~ /^(libseekwell|seekwell-finder)/) { ours += $2; next }
                if (soname($3) in curl) { curlKb += $2; next }
                if (soname($3) in stack) { stackKb += $2; mapped = mapped " " soname($3); next }
                other += $2
            }
            END {
                printf "  after the search: %d kB libcurl and the libraries only it brings, %d kB GLib, GUPnP," \
                       " libsoup, libxml2 and the libraries only they bring, %d kB our own libraries, %d kB" \
                       " other files, %d kB anonymous, heap and stack\n", curlKb, stackKb, ours, other, anon
                printf "  of the finder stack mapped:%s\n", mapped == "" ? " none" : mapped
            }
            # A mapped file named libX.so.1.2.3 answers to its soname libX.so.1.
            function soname(file) { return match(file, /^.*\.so(\.[0-9]+)?/) ? substr(file, 1, RLENGTH) : file }
        ' <(curl_chain_sonames) <(finder_stack_sonames) "$out"
        echo "  largest mappings:"
        grep '^mapping ' "$out" | head -n $TOP_MAPPINGS | awk '{ printf "    %6d %s\n", $2, $3 }'
    done
}

bench_prepare seekwell-bench
prepare_builtin_before
if [ "$BENCH_ONLY" != builtin ]; then
    prepare_before
    command -v gssdp-discover >/dev/null || { echo "gssdp-discover is missing (Debian package gupnp-tools)" >&2; exit 1; }
    if have_node_ssdp; then
        CONTENDERS+=(node)
    else
        echo "node or node-ssdp is unavailable: node-ssdp left out" >&2
    fi
fi
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --duration $BENCH_SIM_LIFETIME_S

# contend NAME OUTPUT: one run of a contender, recorded.
contend() {
    run_contender "$1" "$2"
    record_run "$1" "$2"
}

bench_rounds "$RUNS" contend "${CONTENDERS[@]}"
echo
print_table
echo
print_ratios
echo
print_memory
