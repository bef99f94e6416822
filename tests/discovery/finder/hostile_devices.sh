# Hostile devices for the finder's LAN tests: a device whose description server never answers and
# one whose description is broken XML full of terminal escape codes, each on an address of its own
# after the simulator's devices, announcing itself until the test ends. Source it after
# e2e_common.sh; it takes over the EXIT trap.
#
#   hostile_devices_start FIRST-DEVICE-NUMBER LIFETIME-S

readonly HOSTILE_MODES=(hung escapes)
readonly HOSTILE_HTTP_PORT=80
hostile_pids=()

hostile_devices_stop() {
    local pid
    for pid in "${hostile_pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    e2e_cleanup
}
trap hostile_devices_stop EXIT

hostile_devices_start() {
    local first=$1 lifetime=$2 i
    for i in "${!HOSTILE_MODES[@]}"; do
        ip netns exec "$SIMLAN_ROBOT_NS" python3 "$(dirname "${BASH_SOURCE[0]}")/hostile_device.py" \
            "${HOSTILE_MODES[$i]}" "$(simlan_device_address $((first + i)))" $HOSTILE_HTTP_PORT "$lifetime" &
        hostile_pids+=($!)
    done
}
