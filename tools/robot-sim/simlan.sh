# A private simulated LAN: a client "host" and a robot "host", each a network namespace of its
# own, joined by a veth pair on 192.0.2.0/24 and connected to nothing else. Source this file.
#
#   simlan_can_run || exit 77            # explains why not (needs root and ip netns)
#   simlan_create mylan 3                # client 192.0.2.1, devices 192.0.2.10..12
#   simlan_start_sim /path/to/seekwell-robot-sim --robots 3 --log "$dir/log"
#   simlan_client some-command ...       # runs in the client namespace
#   simlan_destroy                       # stops the simulator, removes both namespaces
#
# Names of the namespaces start with the name given to simlan_create; pick one that holds the
# caller's PID so that parallel runs never meet.

SIMLAN_CLIENT_ADDRESS=192.0.2.1
SIMLAN_PREFIX_LENGTH=24
SIMLAN_DEVICE_NET=192.0.2
SIMLAN_FIRST_DEVICE_HOST=10
SIMLAN_CLIENT_IF=sw-client
SIMLAN_ROBOT_IF=sw-robots
SIMLAN_MULTICAST_ROUTE=224.0.0.0/4
SIMLAN_READY_TIMEOUT_S=10
SIMLAN_CLIENT_NS=
SIMLAN_ROBOT_NS=
SIMLAN_SIM_PID=
SIMLAN_SIM_READY_FILE=

simlan_can_run() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: needs root to create private network namespaces" >&2
        return 1
    fi
    if ! command -v ip >/dev/null || ! ip netns list >/dev/null 2>&1; then
        echo "SKIP: 'ip netns' is unavailable (install iproute2)" >&2
        return 1
    fi
}

# simlan_create NAME DEVICE_COUNT
simlan_create() {
    local name=$1 devices=$2 i
    SIMLAN_CLIENT_NS=$name-c
    SIMLAN_ROBOT_NS=$name-r
    ip netns add "$SIMLAN_CLIENT_NS" || return 1
    ip netns add "$SIMLAN_ROBOT_NS" || return 1
    # Both ends are created inside the namespaces, so nothing ever appears in the caller's.
    ip link add name "$SIMLAN_CLIENT_IF" netns "$SIMLAN_CLIENT_NS" type veth \
        peer name "$SIMLAN_ROBOT_IF" netns "$SIMLAN_ROBOT_NS" || return 1
    ip -n "$SIMLAN_CLIENT_NS" addr add "$SIMLAN_CLIENT_ADDRESS/$SIMLAN_PREFIX_LENGTH" dev "$SIMLAN_CLIENT_IF"
    for ((i = 0; i < devices; i++)); do
        ip -n "$SIMLAN_ROBOT_NS" addr add \
            "$SIMLAN_DEVICE_NET.$((SIMLAN_FIRST_DEVICE_HOST + i))/$SIMLAN_PREFIX_LENGTH" dev "$SIMLAN_ROBOT_IF" || return 1
    done
    local ns
    for ns in "$SIMLAN_CLIENT_NS" "$SIMLAN_ROBOT_NS"; do
        ip -n "$ns" link set lo up
    done
    ip -n "$SIMLAN_CLIENT_NS" link set "$SIMLAN_CLIENT_IF" up
    ip -n "$SIMLAN_ROBOT_NS" link set "$SIMLAN_ROBOT_IF" up
    # A search is multicast by route, like on a LAN with a default gateway.
    ip -n "$SIMLAN_CLIENT_NS" route add "$SIMLAN_MULTICAST_ROUTE" dev "$SIMLAN_CLIENT_IF"
}

# simlan_start_sim SIMULATOR [ARGS...]: starts it in the robot namespace, waits until it listens.
simlan_start_sim() {
    local simulator=$1 waited=0
    shift
    SIMLAN_SIM_READY_FILE=$(mktemp -u /tmp/simlan-ready.XXXXXX)
    ip netns exec "$SIMLAN_ROBOT_NS" "$simulator" --interface "$SIMLAN_ROBOT_IF" \
        --first-address "$SIMLAN_DEVICE_NET.$SIMLAN_FIRST_DEVICE_HOST" \
        --ready-file "$SIMLAN_SIM_READY_FILE" "$@" &
    SIMLAN_SIM_PID=$!
    while [ ! -e "$SIMLAN_SIM_READY_FILE" ]; do
        if ! kill -0 "$SIMLAN_SIM_PID" 2>/dev/null || [ $waited -ge $((SIMLAN_READY_TIMEOUT_S * 10)) ]; then
            echo "simlan: the simulator did not start" >&2
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

simlan_client() {
    ip netns exec "$SIMLAN_CLIENT_NS" "$@"
}

# simlan_device_address N: address of device N, counted from 1 (robots first, then the others).
simlan_device_address() {
    echo "$SIMLAN_DEVICE_NET.$((SIMLAN_FIRST_DEVICE_HOST + $1 - 1))"
}

simlan_destroy() {
    if [ -n "$SIMLAN_SIM_PID" ]; then
        kill "$SIMLAN_SIM_PID" 2>/dev/null
        wait "$SIMLAN_SIM_PID" 2>/dev/null
        SIMLAN_SIM_PID=
    fi
    [ -n "$SIMLAN_SIM_READY_FILE" ] && rm -f "$SIMLAN_SIM_READY_FILE"
    local ns
    for ns in "$SIMLAN_CLIENT_NS" "$SIMLAN_ROBOT_NS"; do
        [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
    done
    SIMLAN_CLIENT_NS=
    SIMLAN_ROBOT_NS=
    return 0
}
