# Shared by the end-to-end bench scripts (bench/e2e_*.sh): the build they use, both installed
# forms of the library, a private simulated LAN that is removed on any exit, and statistics.
# Source it after setting nothing; it sets -euo pipefail. Run the scripts as root.

set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
source "$ROOT/tests/support/private_lan.sh"
export LC_ALL=C

readonly BENCH_DIR="$ROOT/bench"
readonly BENCH_BUILD=${BENCH_BUILD:-$ROOT/build}
readonly BENCH_ROBOTS=16
readonly BENCH_OTHERS=50
readonly BENCH_WINDOW_MS=10000
readonly BENCH_TARGET=upnp:rootdevice
# A simulator or storm left over by a run killed outright still ends by itself.
readonly BENCH_SIM_LIFETIME_S=3600
readonly BENCH_HOST="$BENCH_BUILD/tests/discovery/e2e/seekwell-e2e-host"
readonly BENCH_MEMORY_HOST="$BENCH_BUILD/bench/seekwell-e2e-memory-host"
readonly BENCH_MEASURE="$BENCH_BUILD/bench/seekwell-e2e-measure"
readonly BENCH_STORM="$BENCH_BUILD/bench/seekwell-ssdp-storm"
readonly BENCH_SIMULATOR="$BENCH_BUILD/tools/robot-sim/seekwell-robot-sim"

bench_cleanup() {
    simlan_destroy
    [ -n "${BENCH_WORK:-}" ] && rm -rf "$BENCH_WORK"
    return 0
}

# bench_prepare NAME: checks root and namespaces, builds what is missing, installs the library
# twice (alone for the built-in search, with its helper folder for the finder path) and creates
# the LAN with every device's address. Sets BENCH_WORK, BENCH_ALONE and BENCH_FINDER.
bench_prepare() {
    simlan_can_run || exit 1
    local tool
    for tool in "$BENCH_HOST" "$BENCH_MEMORY_HOST" "$BENCH_MEASURE" "$BENCH_STORM" "$BENCH_SIMULATOR"; do
        [ -x "$tool" ] || { configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo; break; }
    done
    BENCH_WORK=$(mktemp -d /tmp/seekwell-bench.XXXXXX)
    trap bench_cleanup EXIT
    trap 'exit 1' INT TERM
    local component
    for component in seekwell seekwell-finder; do
        cmake --install "$BENCH_BUILD" --component $component --prefix "$BENCH_WORK/prefix" >/dev/null
    done
    BENCH_FINDER=$(find "$BENCH_WORK/prefix" -name 'libseekwell.so.2' | head -n 1)
    [ -x "$(dirname "$BENCH_FINDER")/seekwell/seekwell-finder-gupnp" ] || {
        echo "the finder helper was not installed beside $BENCH_FINDER" >&2
        exit 1
    }
    mkdir -p "$BENCH_WORK/alone"
    cp -P "$(dirname "$BENCH_FINDER")"/libseekwell.so* "$BENCH_WORK/alone/"
    BENCH_ALONE="$BENCH_WORK/alone/libseekwell.so.2"
    simlan_create "$1-$$" $((BENCH_ROBOTS + BENCH_OTHERS))
}

# bench_quiet_lan NAME: bench_prepare NAME, then the robots and the other devices answering on it;
# sets BENCH_LIBRARY_DIR, the folder of the library installed alone (the built-in path).
bench_quiet_lan() {
    bench_prepare "$1"
    simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --duration $BENCH_SIM_LIFETIME_S
    BENCH_LIBRARY_DIR=$(dirname "$BENCH_ALONE")
}

# bench_rounds RUNS RUN_ONE NAME...: RUNS rounds, each calling RUN_ONE NAME OUTPUT for every NAME in
# turn, so that a change of load on the shared machine falls on all alike; the load is reported.
bench_rounds() {
    local runs=$1 runOne=$2 run name
    shift 2
    bench_machine
    echo "load average (1 min) before: $(bench_load)"
    for ((run = 1; run <= runs; run++)); do
        for name in "$@"; do
            "$runOne" "$name" "$BENCH_WORK/$name.$run"
        done
        echo "round $run of $runs done, load $(bench_load)" >&2
    done
    echo "load average (1 min) after: $(bench_load)"
}

# bench_build_commit COMMIT DIR TARGET...: builds TARGETs of COMMIT in DIR (RelWithDebInfo).
bench_build_commit() {
    local commit=$1 dir=$2
    shift 2
    echo "building $* of $commit in $dir" >&2
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$ROOT" archive "$commit" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DROVA_BUILD_TESTS=OFF -DROVA_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$dir/build" -j "$JOBS" --target "$@" >&2
}

# The load average over the last minute, for the record of a run on a shared machine.
bench_load() {
    cut -d ' ' -f 1 /proc/loadavg
}

bench_machine() {
    echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
        "kernel $(uname -r), $(date -u +%Y-%m-%d)"
}

# bench_value FILE KEY: the rest of the line "KEY rest" in FILE.
bench_value() {
    sed -n "s/^$2 //p" "$1" | head -n 1
}

# bench_stats FILE [DECIMALS]: "median (min..max)" of the numbers in FILE, one per line, with
# DECIMALS (default 1) places for those that are not whole.
bench_stats() {
    sort -g "$1" | awk -v places="${2:-1}" '
        { v[NR] = $1 }
        END {
            if (NR == 0) { print "-"; exit }
            m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "%s (%s..%s)\n", fmt(m), fmt(v[1]), fmt(v[NR])
        }
        function fmt(x) { return (x == int(x)) ? sprintf("%d", x) : sprintf("%." places "f", x) }'
}

# bench_record NAME VALUE: appends VALUE to the series NAME of this run.
bench_record() {
    echo "$2" >>"$BENCH_WORK/series.$1"
}

bench_series() {
    echo "$BENCH_WORK/series.$1"
}
