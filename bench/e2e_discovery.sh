#!/usr/bin/env bash
# Measures one discovery call on a quiet simulated LAN of 16 robots and 50 other UPnP devices,
# inside private network namespaces, and compares with gssdp-discover over the same window.
# Not a test: it reports figures. Run as root.
#
#   bench/e2e_discovery.sh [RUNS]       (default 5; uses and if needed builds ./build)
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
source "$ROOT/tools/robot-sim/simlan.sh"

readonly RUNS=${1:-5}
readonly ROBOTS=16
readonly OTHERS=50
readonly WINDOW_MS=10000
readonly BUILD="$ROOT/build"
readonly HOST="$BUILD/tests/discovery/e2e/seekwell-e2e-host"
readonly SIMULATOR="$BUILD/tools/robot-sim/seekwell-robot-sim"

simlan_can_run || exit 1
[ -x "$HOST" ] && [ -x "$SIMULATOR" ] || configure_and_build "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
work=$(mktemp -d /tmp/seekwell-bench.XXXXXX)
cleanup() {
    simlan_destroy
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The library copied alone, so the built-in search runs.
cmake --install "$BUILD" --prefix "$work/prefix" >/dev/null
mkdir -p "$work/alone"
cp -P "$(dirname "$(find "$work/prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)")"/libseekwell.so* "$work/alone/"

simlan_create "seekwell-bench-$$" $((ROBOTS + OTHERS))
simlan_start_sim "$SIMULATOR" --robots $ROBOTS --others $OTHERS

# summary LABEL UNIT VALUES...: median and spread (min..max)
summary() {
    local label=$1 unit=$2
    shift 2
    printf '%s\n' "$@" | sort -n | awk -v label="$label" -v unit="$unit" '
        { v[NR] = $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "  %-30s median %8.1f %-3s spread %.1f..%.1f\n", label, m, unit, v[1], v[NR] }'
}

over=() cpu=() rss=() found=()
echo "DiscoveryROVAByUPnP, built-in search, $RUNS runs:"
for ((run = 1; run <= RUNS; run++)); do
    simlan_client "$HOST" "$work/alone/libseekwell.so.2" >"$work/host.out"
    elapsed=$(sed -n 's/^elapsed_ms //p' "$work/host.out")
    over+=($((elapsed - WINDOW_MS)))
    cpu+=("$(awk '/^cpu_us /{ printf "%.2f", $2 / 1000 }' "$work/host.out")")
    rss+=("$(awk '/^maxrss_kb /{ printf "%.1f", $2 / 1024 }' "$work/host.out")")
    found+=("$(sed -n 's/^result //p' "$work/host.out")")
done
summary "wall time beyond the window" ms "${over[@]}"
summary "CPU of the call (user+sys)" ms "${cpu[@]}"
summary "peak RSS of the host" MiB "${rss[@]}"
summary "robots found" "" "${found[@]}"

if ! command -v gssdp-discover >/dev/null; then
    echo "gssdp-discover is missing (Debian package gupnp-tools): no comparison."
    exit 0
fi
over=() cpu=() rss=() found=()
echo "gssdp-discover --timeout 10 -t upnp:rootdevice, $RUNS runs:"
for ((run = 1; run <= RUNS; run++)); do
    started=$(date +%s%N)
    # `times` in the subshell gives its children's CPU to the microsecond; time(1) only to 10 ms.
    (
        simlan_client /usr/bin/time -f '%M' -o "$work/rss.out" \
            gssdp-discover -i "$SIMLAN_CLIENT_IF" --timeout $((WINDOW_MS / 1000)) -t upnp:rootdevice >"$work/gssdp.out"
        times
    ) >"$work/times.out"
    ended=$(date +%s%N)
    over+=($(((ended - started) / 1000000 - WINDOW_MS)))
    cpu+=("$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
                            printf "%.2f", (u[1] * 60 + u[2] + s[1] * 60 + s[2]) * 1000 }' "$work/times.out")")
    rss+=("$(awk '{ printf "%.1f", $1 / 1024 }' "$work/rss.out")")
    found+=("$(grep -c 'USN: *uuid:R0VA' "$work/gssdp.out" || true)")
done
summary "wall time beyond the window" ms "${over[@]}"
summary "CPU of the process (user+sys)" ms "${cpu[@]}"
summary "peak RSS" MiB "${rss[@]}"
summary "robots heard" "" "${found[@]}"
