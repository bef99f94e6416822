#!/usr/bin/env bash
# What a host's open descriptors cost a built-in search: one discovery on a simulated LAN of 16
# robots and 50 other devices, in a host holding 0 and then 19 000 inheritable descriptors of its
# own, with this tree's library and with the library of BEFORE_COMMIT (whose every fetch scanned
# the process's descriptors), runs interleaved. Reports the call's time past its 10 s window and
# the robots found. Not a test: it reports figures. Run as root.
#
#   bench/e2e_descriptors.sh [RUNS]     (default 3; uses ./build, building it when needed)
source "$(dirname "$0")/e2e_lib.sh"

readonly RUNS=${1:-3}
readonly HOST_DESCRIPTORS=(0 19000)
# The last commit whose fetches scanned the host's descriptors.
readonly BEFORE_COMMIT=ff8ff93
readonly BEFORE_DIR=${BEFORE_DIR:-/tmp/seekwell-bench-before-$BEFORE_COMMIT}

bench_prepare descriptors
[ -e "$BEFORE_DIR/build/discovery/libseekwell.so.2" ] || bench_build_commit "$BEFORE_COMMIT" "$BEFORE_DIR" seekwell
mkdir -p "$BENCH_WORK/before"
cp -P "$BEFORE_DIR/build/discovery"/libseekwell.so* "$BENCH_WORK/before/"
simlan_start_sim "$BENCH_SIMULATOR" --robots $BENCH_ROBOTS --others $BENCH_OTHERS --duration $BENCH_SIM_LIFETIME_S

# run_host LIBRARY DESCRIPTORS OUTPUT: the e2e host, started by a shell that first opens
# DESCRIPTORS inheritable descriptors of /dev/null, which the host inherits.
run_host() {
    simlan_client bash -c '
        ulimit -n "$(ulimit -Hn)"
        for ((i = 0; i < $1; ++i)); do exec {fd}</dev/null; done
        exec "$2" "$3"' host "$2" "$BENCH_HOST" "$1" >"$3"
}

for ((run = 1; run <= RUNS; ++run)); do
    for descriptors in "${HOST_DESCRIPTORS[@]}"; do
        for version in now before; do
            library=$BENCH_ALONE
            [ "$version" = before ] && library="$BENCH_WORK/before/libseekwell.so.2"
            out="$BENCH_WORK/$version.$descriptors.$run"
            run_host "$library" "$descriptors" "$out"
            bench_record "past.$version.$descriptors" $(($(bench_value "$out" elapsed_ms) - BENCH_WINDOW_MS))
            bench_record "robots.$version.$descriptors" "$(bench_value "$out" result)"
        done
    done
done

bench_machine
echo "built-in search, $BENCH_ROBOTS robots + $BENCH_OTHERS other devices, $RUNS runs, load $(bench_load)"
printf '%-22s %-26s %s\n' "library" "host descriptors" "ms past the window, median (min..max); robots"
for version in now before; do
    for descriptors in "${HOST_DESCRIPTORS[@]}"; do
        printf '%-22s %-26s %s; %s\n' "$version" "$descriptors" \
            "$(bench_stats "$(bench_series "past.$version.$descriptors")")" \
            "$(bench_stats "$(bench_series "robots.$version.$descriptors")")"
    done
done
