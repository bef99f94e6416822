#!/bin/bash
# A private simulated LAN: a client "host" and a robot "host", each a network namespace of its
# own, joined by a veth pair on 192.0.2.0/24 and connected to nothing else. The one place where
# the LAN's addresses, link names and routes are decided; shell scripts source it, programs run it.
#
# Sourced:
#   simlan_can_run || exit 77            # explains why not (needs root and ip netns)
#   simlan_create mylan 3                # client 192.0.2.1, devices 192.0.2.10..12
#   simlan_start_sim /path/to/seekwell-robot-sim --robots 3 --log "$dir/log"
#   simlan_start_routed_sim 2 /path/to/seekwell-robot-sim --robots 2   # 198.19.5.10..11, routed
#   simlan_start_more_sim 3 /path/to/seekwell-robot-sim --robots 1      # device 3, later; PID in
#                                        # SIMLAN_MORE_SIM_PID, for kill -TERM or kill -KILL
#   simlan_start_sim_on sw-robots2 198.18.7.10 /path/to/seekwell-robot-sim   # the same, another link
#   simlan_create_subnet mylan 198.18.8.0/21 1024   # the same two hosts on another subnet: client
#                                        # 198.18.8.1, devices 198.18.8.10..198.18.12.9
#   simlan_pin_neighbours                # the client knows every device's link address beforehand
#   simlan_client some-command ...       # runs in the client namespace
#   simlan_robots some-command ...       # runs in the robot namespace
#   simlan_destroy                       # stops the simulator, removes both namespaces
#
# Run: bash private_lan.sh --help (installed with the tools as seekwell-simlan, which carries the
# package version in place of the placeholder below)
#
# Names of the namespaces start with the name given to simlan_create; pick one that holds the
# caller's PID so that parallel runs never meet.
#
# Layout. Client: 192.0.2.1, multicast routed onto its link. Robot host: 192.0.2.2 on its link,
# the devices from 192.0.2.10 on as addresses of that link, and every address of 192.0.2.64/26
# (robots and decoys of the hardening tests) and 192.0.2.128/25 (storm senders) local to it.
# simlan_create_subnet lays out another subnet the same way (client first, robot host second,
# devices from the tenth address on), without the local blocks.

SIMLAN_CLIENT_ADDRESS=192.0.2.1
SIMLAN_ROBOT_HOST_ADDRESS=192.0.2.2
SIMLAN_PREFIX_LENGTH=24
SIMLAN_DEVICE_NET=192.0.2
SIMLAN_FIRST_DEVICE_HOST=10
SIMLAN_FIRST_LOCAL_ROBOT_HOST=64
SIMLAN_LOCAL_ROBOT_BLOCK=192.0.2.64/26
SIMLAN_FIRST_STORM_HOST=128
SIMLAN_STORM_BLOCK=192.0.2.128/25
SIMLAN_CLIENT_IF=sw-client
SIMLAN_ROBOT_IF=sw-robots
SIMLAN_MULTICAST_ROUTE=224.0.0.0/4
SIMLAN_VERSION="@PROJECT_VERSION@"
SIMLAN_READY_TIMEOUT_S=10
SIMLAN_CLIENT_NS=
SIMLAN_ROBOT_NS=
# Set when the namespaces are those of two running processes (simlan_join), not named ones.
SIMLAN_BY_PID=
SIMLAN_RUNNER=()
SIMLAN_SIM_PID=
SIMLAN_SIM_READY_FILE=
# Simulators started after the LAN's own, on further device addresses; simlan_destroy stops them.
SIMLAN_MORE_SIM_PID=
SIMLAN_MORE_SIM_PIDS=()
# Client ends of the segments simlan_add_link added; simlan_destroy removes them.
SIMLAN_ADDED_LINKS=()
# Device addresses the LAN was made with, for simlan_pin_neighbours.
SIMLAN_DEVICE_COUNT=0
# The default layout, which simlan_create_subnet replaces and simlan_create puts back.
SIMLAN_DEFAULT_LAYOUT=("$SIMLAN_CLIENT_ADDRESS" "$SIMLAN_ROBOT_HOST_ADDRESS" "$SIMLAN_PREFIX_LENGTH" "$SIMLAN_DEVICE_NET")
# Devices on one subnet LAN: simulators take up to 1024 devices each, and a /21 holds 2048.
SIMLAN_MAX_SUBNET_DEVICES=2000

# simlan_why_not: prints why no private LAN can be made here, or nothing when one can.
simlan_why_not() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "needs root to create private network namespaces"
    elif ! command -v ip >/dev/null || ! ip netns list >/dev/null 2>&1; then
        echo "'ip netns' is unavailable (install iproute2)"
    fi
}

# simlan_can_run [LABEL]: whether a LAN can be made here; if not, says why on stderr after LABEL
# (default SKIP, as the tests report it).
simlan_can_run() {
    local reason
    reason=$(simlan_why_not)
    if [ -n "$reason" ]; then
        echo "${1:-SKIP}: $reason" >&2
        return 1
    fi
}

# simlan_runner NAMESPACE: sets SIMLAN_RUNNER to the command prefix that runs a program in the
# namespace (a name, or a PID with SIMLAN_BY_PID). A prefix rather than a function, so that a
# program started in the background is the one that $! names.
simlan_runner() {
    if [ -n "$SIMLAN_BY_PID" ]; then
        SIMLAN_RUNNER=(nsenter --net="/proc/$1/ns/net")
    else
        SIMLAN_RUNNER=(ip netns exec "$1")
    fi
}

# simlan_in NAMESPACE COMMAND...: runs the command in the namespace.
simlan_in() {
    simlan_runner "$1"
    shift
    "${SIMLAN_RUNNER[@]}" "$@"
}

# simlan_ip NAMESPACE ARGS...: ip in the namespace.
simlan_ip() {
    local ns=$1
    shift
    if [ -n "$SIMLAN_BY_PID" ]; then
        simlan_in "$ns" ip "$@"
    else
        ip -n "$ns" "$@"
    fi
}

# simlan_configure_link DEVICE_COUNT: joins the two namespaces by a veth pair, gives them their
# addresses and the device addresses, and routes multicast onto the link on both sides.
simlan_configure_link() {
    local devices=$1 ns
    # Both ends are created inside the namespaces, so nothing ever appears in the caller's.
    simlan_ip "$SIMLAN_CLIENT_NS" link add name "$SIMLAN_CLIENT_IF" type veth \
        peer name "$SIMLAN_ROBOT_IF" netns "$SIMLAN_ROBOT_NS" || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" addr add "$SIMLAN_CLIENT_ADDRESS/$SIMLAN_PREFIX_LENGTH" \
        dev "$SIMLAN_CLIENT_IF" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" addr add "$SIMLAN_ROBOT_HOST_ADDRESS/$SIMLAN_PREFIX_LENGTH" \
        dev "$SIMLAN_ROBOT_IF" || return 1
    # One ip for all of them: a thousand devices would otherwise take a thousand processes.
    simlan_device_addresses "$devices" | sed "s|.*|addr add &/$SIMLAN_PREFIX_LENGTH dev $SIMLAN_ROBOT_IF|" |
        simlan_ip "$SIMLAN_ROBOT_NS" -batch - || return 1
    SIMLAN_DEVICE_COUNT=$devices
    for ns in "$SIMLAN_CLIENT_NS" "$SIMLAN_ROBOT_NS"; do
        simlan_ip "$ns" link set lo up || return 1
    done
    simlan_ip "$SIMLAN_CLIENT_NS" link set "$SIMLAN_CLIENT_IF" up || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$SIMLAN_ROBOT_IF" up || return 1
    # A search is multicast by route, like on a LAN with a default gateway; so are the answers.
    simlan_ip "$SIMLAN_CLIENT_NS" route add "$SIMLAN_MULTICAST_ROUTE" dev "$SIMLAN_CLIENT_IF" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" route add "$SIMLAN_MULTICAST_ROUTE" dev "$SIMLAN_ROBOT_IF" || return 1
}

# simlan_configure DEVICE_COUNT: joins the two namespaces and gives them the layout above.
simlan_configure() {
    simlan_configure_link "$1" || return 1
    # Whole blocks of the robot host's addresses without one address each: peers bind to them.
    simlan_ip "$SIMLAN_ROBOT_NS" route add local "$SIMLAN_LOCAL_ROBOT_BLOCK" dev lo || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" route add local "$SIMLAN_STORM_BLOCK" dev lo || return 1
}

# simlan_use_layout CLIENT_ADDRESS ROBOT_HOST_ADDRESS PREFIX_LENGTH DEVICE_NET
simlan_use_layout() {
    SIMLAN_CLIENT_ADDRESS=$1
    SIMLAN_ROBOT_HOST_ADDRESS=$2
    SIMLAN_PREFIX_LENGTH=$3
    SIMLAN_DEVICE_NET=$4
}

# simlan_create NAME DEVICE_COUNT: two named namespaces, NAME-c and NAME-r.
simlan_create() {
    simlan_use_layout "${SIMLAN_DEFAULT_LAYOUT[@]}"
    simlan_add_namespaces "$1" || return 1
    simlan_configure "$2"
}

# simlan_add_namespaces NAME: the two named namespaces, empty.
simlan_add_namespaces() {
    SIMLAN_BY_PID=
    SIMLAN_CLIENT_NS=$1-c
    SIMLAN_ROBOT_NS=$1-r
    ip netns add "$SIMLAN_CLIENT_NS" || return 1
    ip netns add "$SIMLAN_ROBOT_NS" || return 1
}

# simlan_create_subnet NAME NETWORK/LENGTH DEVICE_COUNT: simlan_create on another subnet, /16 to
# /24 (a /21 such as 198.18.8.0/21 for a thousand devices): the client at its first address, the
# robot host at its second, the devices from its tenth on. No local blocks; the storm and the
# hardening peers keep to the default layout.
simlan_create_subnet() {
    local name=$1 network=${2%/*} length=${2#*/} devices=$3 base size
    if ! [[ $2 =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+/[0-9]+$ ]] || [ "$length" -lt 16 ] || [ "$length" -gt 24 ]; then
        echo "simlan_create_subnet: '$2' is no network of /16 to /24" >&2
        return 1
    fi
    size=$((1 << (32 - length)))
    base=$(simlan_address_number "$network")
    if [ $((base % size)) -ne 0 ]; then
        echo "simlan_create_subnet: $2 is not where a /$length starts" >&2
        return 1
    fi
    # The devices from the tenth address up to the last before the broadcast.
    if ! [[ $devices =~ ^[0-9]+$ ]] || [ "$devices" -gt $((size - SIMLAN_FIRST_DEVICE_HOST - 1)) ] ||
        [ "$devices" -gt $SIMLAN_MAX_SUBNET_DEVICES ]; then
        echo "simlan_create_subnet: $2 has no room for '$devices' devices" >&2
        return 1
    fi
    simlan_use_layout "$(simlan_number_address $((base + 1)))" "$(simlan_number_address $((base + 2)))" "$length" \
        "${network%.*}"
    simlan_add_namespaces "$name" || return 1
    simlan_configure_link "$devices"
}

# simlan_pin_neighbours [DEVICE_COUNT]: permanent neighbour entries, so that no address resolution
# runs while a test or a bench measures: on the client, the robot host's link address for the robot
# host and each of the first DEVICE_COUNT devices (default: all the LAN was made with); on the robot
# host, the client's.
simlan_pin_neighbours() {
    local devices=${1:-$SIMLAN_DEVICE_COUNT} robot_mac client_mac
    robot_mac=$(simlan_robots cat "/sys/class/net/$SIMLAN_ROBOT_IF/address") || return 1
    client_mac=$(simlan_client cat "/sys/class/net/$SIMLAN_CLIENT_IF/address") || return 1
    { echo "$SIMLAN_ROBOT_HOST_ADDRESS" && simlan_device_addresses "$devices"; } |
        sed "s|.*|neigh replace & lladdr $robot_mac dev $SIMLAN_CLIENT_IF nud permanent|" |
        simlan_ip "$SIMLAN_CLIENT_NS" -batch - || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" neigh replace "$SIMLAN_CLIENT_ADDRESS" lladdr "$client_mac" \
        dev "$SIMLAN_ROBOT_IF" nud permanent
}

# simlan_join CLIENT_PID ROBOT_PID DEVICE_COUNT: the network namespaces two processes (or threads)
# already live in. They vanish with those, so there is nothing to destroy.
simlan_join() {
    simlan_use_layout "${SIMLAN_DEFAULT_LAYOUT[@]}"
    SIMLAN_BY_PID=1
    SIMLAN_CLIENT_NS=$1
    SIMLAN_ROBOT_NS=$2
    simlan_configure "$3"
}

# simlan_start_sim SIMULATOR [ARGS...]: starts it in the robot namespace, waits until it listens.
simlan_start_sim() {
    local simulator=$1
    shift
    SIMLAN_SIM_READY_FILE=$(mktemp -u /tmp/simlan-ready.XXXXXX)
    simlan_runner "$SIMLAN_ROBOT_NS"
    "${SIMLAN_RUNNER[@]}" "$simulator" --interface "$SIMLAN_ROBOT_IF" \
        --first-address "$(simlan_device_address 1)" \
        --ready-file "$SIMLAN_SIM_READY_FILE" "$@" &
    SIMLAN_SIM_PID=$!
    simlan_wait_ready "$SIMLAN_SIM_READY_FILE" "$SIMLAN_SIM_PID"
}

# simlan_start_more_sim FIRST_DEVICE SIMULATOR [ARGS...]: starts another simulator in the robot
# namespace whose first device is device FIRST_DEVICE (an address simlan_create made, not one
# another simulator serves), waits until it listens, and leaves its PID in SIMLAN_MORE_SIM_PID: a
# test ends it with TERM (its devices say goodbye) or KILL (they vanish without a word).
simlan_start_more_sim() {
    local first=$1
    shift
    simlan_start_sim_on "$SIMLAN_ROBOT_IF" "$(simlan_device_address "$first")" "$@"
}

# simlan_start_sim_on INTERFACE FIRST_ADDRESS SIMULATOR [ARGS...]: simlan_start_more_sim on any link
# of the robot host (one simlan_add_link made, say), its devices on addresses already there.
simlan_start_sim_on() {
    local link=$1 first=$2 simulator=$3 ready status=0
    shift 3
    ready=$(mktemp -u /tmp/simlan-ready.XXXXXX)
    simlan_runner "$SIMLAN_ROBOT_NS"
    "${SIMLAN_RUNNER[@]}" "$simulator" --interface "$link" \
        --first-address "$first" --ready-file "$ready" "$@" &
    SIMLAN_MORE_SIM_PID=$!
    SIMLAN_MORE_SIM_PIDS+=("$SIMLAN_MORE_SIM_PID")
    simlan_wait_ready "$ready" "$SIMLAN_MORE_SIM_PID" || status=1
    rm -f "$ready"
    return $status
}

# simlan_wait_ready FILE PID: waits, at most SIMLAN_READY_TIMEOUT_S, until the simulator has written
# FILE; fails at once when PID has ended.
simlan_wait_ready() {
    local waited=0
    while [ ! -e "$1" ]; do
        if ! kill -0 "$2" 2>/dev/null || [ $waited -ge $((SIMLAN_READY_TIMEOUT_S * 10)) ]; then
            echo "simlan: the simulator did not start" >&2
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

simlan_client() {
    simlan_in "$SIMLAN_CLIENT_NS" "$@"
}

simlan_robots() {
    simlan_in "$SIMLAN_ROBOT_NS" "$@"
}

# simlan_device_address N: address of device N, counted from 1 (robots first, then the others);
# past the fourth byte's 255 the third counts on, as on a subnet wider than a /24.
simlan_device_address() {
    simlan_number_address $(($(simlan_address_number "$SIMLAN_DEVICE_NET.$SIMLAN_FIRST_DEVICE_HOST") + $1 - 1))
}

# simlan_device_addresses COUNT: the addresses of devices 1 to COUNT, one a line.
simlan_device_addresses() {
    local base i
    base=$(simlan_address_number "$SIMLAN_DEVICE_NET.$SIMLAN_FIRST_DEVICE_HOST")
    for ((i = 0; i < $1; i++)); do
        simlan_number_address $((base + i))
    done
}

# simlan_address_number A.B.C.D: the address as one number.
simlan_address_number() {
    local a b c d
    IFS=. read -r a b c d <<<"$1"
    echo $(((a << 24) | (b << 16) | (c << 8) | d))
}

# simlan_number_address N: the number as an address.
simlan_number_address() {
    echo "$((($1 >> 24) & 255)).$((($1 >> 16) & 255)).$((($1 >> 8) & 255)).$(($1 & 255))"
}

simlan_destroy() {
    local pid running
    # Only those still in the job table: one a test has ended and waited for may lend its PID to
    # another process.
    running=" $(jobs -p | tr '\n' ' ') "
    for pid in "${SIMLAN_MORE_SIM_PIDS[@]}"; do
        [[ $running == *" $pid "* ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    SIMLAN_MORE_SIM_PIDS=()
    SIMLAN_MORE_SIM_PID=
    if [ -n "$SIMLAN_SIM_PID" ]; then
        kill "$SIMLAN_SIM_PID" 2>/dev/null
        wait "$SIMLAN_SIM_PID" 2>/dev/null
        SIMLAN_SIM_PID=
    fi
    [ -n "$SIMLAN_SIM_READY_FILE" ] && rm -f "$SIMLAN_SIM_READY_FILE"
    # Joined namespaces outlive the LAN; a link a test removed already is no error.
    local link
    for link in "${SIMLAN_ADDED_LINKS[@]}"; do
        simlan_ip "$SIMLAN_CLIENT_NS" link del "$link" 2>/dev/null
    done
    SIMLAN_ADDED_LINKS=()
    local ns
    if [ -z "$SIMLAN_BY_PID" ]; then
        for ns in "$SIMLAN_CLIENT_NS" "$SIMLAN_ROBOT_NS"; do
            [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
        done
    fi
    SIMLAN_CLIENT_NS=
    SIMLAN_ROBOT_NS=
    return 0
}

# Additions for LANs that misbehave; none of them is part of the layout above unless called.

SIMLAN_BRIDGE_IF=sw-lan

# simlan_add_routed_network NETWORK/LENGTH ADDRESS: another network behind the robot host: ADDRESS
# is a real host there (an address of the robot namespace's loopback, as not every kernel has dummy
# links), and the client routes the whole block through the robot host, as a LAN's router would.
simlan_add_routed_network() {
    local block=$1 address=$2
    simlan_ip "$SIMLAN_ROBOT_NS" addr add "$address/32" dev lo || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" route add "$block" via "$SIMLAN_ROBOT_HOST_ADDRESS" \
        dev "$SIMLAN_CLIENT_IF" || return 1
}

# simlan_add_silent_network NETWORK/LENGTH: a block the client routes through the robot host, which
# drops whatever goes there without a word (no ICMP): addresses where nothing ever answers, as
# hosts switched off behind a router.
simlan_add_silent_network() {
    simlan_ip "$SIMLAN_ROBOT_NS" route add blackhole "$1" || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" route add "$1" via "$SIMLAN_ROBOT_HOST_ADDRESS" dev "$SIMLAN_CLIENT_IF" || return 1
}

# simlan_client_sysctl NAME VALUE [INTERFACE...]: sets net.ipv4.conf.<all and each interface>.NAME
# in the client namespace (rp_filter, accept_local, arp_ignore...), default the client's link.
simlan_client_sysctl() {
    local name=$1 value=$2 link
    shift 2
    for link in all "${@:-$SIMLAN_CLIENT_IF}"; do
        simlan_client sysctl -q -w "net.ipv4.conf.$link.$name=$value" || return 1
    done
}

# simlan_release_local_blocks: the robot host stops owning the storm and local-robot blocks, so
# that their addresses are nobody's: a connection to one finds no host.
simlan_release_local_blocks() {
    simlan_ip "$SIMLAN_ROBOT_NS" route del local "$SIMLAN_LOCAL_ROBOT_BLOCK" dev lo table local || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" route del local "$SIMLAN_STORM_BLOCK" dev lo table local || return 1
}

# simlan_raise_receive_buffers BYTES: the default and largest receive buffer of the client's
# sockets, where the kernel keeps them per namespace; fails (changing nothing) where they are the
# whole machine's.
simlan_raise_receive_buffers() {
    simlan_client sh -c 'test -w /proc/sys/net/core/rmem_max' 2>/dev/null || return 1
    simlan_client sysctl -q -w net.core.rmem_max="$1" net.core.rmem_default="$1"
}

# simlan_add_bridged_client_link INTERFACE ADDRESS: a second link of the client onto the same LAN,
# with an address of its own on it. The robot host becomes a bridge between the two cables, its
# addresses move onto the bridge, and SIMLAN_ROBOT_IF names the bridge from then on (a simulator
# started later listens there).
simlan_add_bridged_client_link() {
    local link=$1 address=$2 peer=${1/client/robots} owned entry
    owned=$(simlan_ip "$SIMLAN_ROBOT_NS" -4 -o addr show dev "$SIMLAN_ROBOT_IF" | awk '{ print $4 }')
    simlan_ip "$SIMLAN_ROBOT_NS" link add "$SIMLAN_BRIDGE_IF" type bridge mcast_snooping 0 || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" addr flush dev "$SIMLAN_ROBOT_IF" || return 1
    for entry in $owned; do
        simlan_ip "$SIMLAN_ROBOT_NS" addr add "$entry" dev "$SIMLAN_BRIDGE_IF" || return 1
    done
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$SIMLAN_ROBOT_IF" master "$SIMLAN_BRIDGE_IF" || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" link add name "$link" type veth peer name "$peer" netns "$SIMLAN_ROBOT_NS" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$peer" master "$SIMLAN_BRIDGE_IF" up || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$SIMLAN_BRIDGE_IF" up || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" route replace "$SIMLAN_MULTICAST_ROUTE" dev "$SIMLAN_BRIDGE_IF" || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" addr add "$address/$SIMLAN_PREFIX_LENGTH" dev "$link" || return 1
    simlan_ip "$SIMLAN_CLIENT_NS" link set "$link" up || return 1
    SIMLAN_ROBOT_IF=$SIMLAN_BRIDGE_IF
}

# simlan_add_link CLIENT_IF ROBOT_IF NET_PREFIX [down]: a further segment between the two hosts,
# a veth pair of its own: the client NET_PREFIX.1/24 on CLIENT_IF, the robot host NET_PREFIX.2/24
# on ROBOT_IF (a simulator there takes further addresses of the segment). Both ends come up, the
# client's stays down with "down", for a test to bring up later. No route is added: a search goes
# out on it only when the searcher picks the link.
simlan_add_link() {
    local client_if=$1 robot_if=$2 net=$3 state=${4:-up}
    case $state in
    up | down) ;;
    *)
        echo "simlan_add_link: the fourth argument is 'down' or nothing, not '$state'" >&2
        return 1
        ;;
    esac
    simlan_ip "$SIMLAN_CLIENT_NS" link add name "$client_if" type veth \
        peer name "$robot_if" netns "$SIMLAN_ROBOT_NS" || return 1
    SIMLAN_ADDED_LINKS+=("$client_if")
    simlan_ip "$SIMLAN_CLIENT_NS" addr add "$net.1/$SIMLAN_PREFIX_LENGTH" dev "$client_if" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" addr add "$net.2/$SIMLAN_PREFIX_LENGTH" dev "$robot_if" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$robot_if" up || return 1
    if [ "$state" = up ]; then
        simlan_ip "$SIMLAN_CLIENT_NS" link set "$client_if" up || return 1
    fi
}

# A subnet of robots one router away from the client: the robot host forwards unicast between the
# LAN and the subnet but routes no multicast, so a search reaches those robots only when sent to
# their addresses. The subnet's namespace is held by its simulator alone and vanishes with it.
SIMLAN_ROUTED_NET=198.19.5
SIMLAN_ROUTED_PREFIX_LENGTH=24
SIMLAN_ROUTED_BLOCK=$SIMLAN_ROUTED_NET.0/$SIMLAN_ROUTED_PREFIX_LENGTH
SIMLAN_ROUTER_ADDRESS=$SIMLAN_ROUTED_NET.1
SIMLAN_ROUTER_IF=sw-router
SIMLAN_ROUTED_IF=sw-routed
SIMLAN_ROUTED_NS=

# simlan_routed_device_address N: address of routed device N, counted from 1 (198.19.5.10 on).
simlan_routed_device_address() {
    echo "$SIMLAN_ROUTED_NET.$((SIMLAN_FIRST_DEVICE_HOST + $1 - 1))"
}

# simlan_add_routed_subnet DEVICE_COUNT: makes the robot host a router to the subnet, a new
# namespace SIMLAN_ROUTED_NS holding DEVICE_COUNT device addresses, routed by the client through it.
simlan_add_routed_subnet() {
    local devices=$1 i
    ip netns add "$SIMLAN_ROUTED_NS" || return 1
    # The router's address on the subnet; the client's route to the subnet through the robot host.
    simlan_add_routed_network "$SIMLAN_ROUTED_BLOCK" "$SIMLAN_ROUTER_ADDRESS" || return 1
    simlan_robots sysctl -q -w net.ipv4.ip_forward=1 || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link add name "$SIMLAN_ROUTER_IF" type veth \
        peer name "$SIMLAN_ROUTED_IF" netns "$SIMLAN_ROUTED_NS" || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" link set "$SIMLAN_ROUTER_IF" up || return 1
    simlan_ip "$SIMLAN_ROBOT_NS" route add "$SIMLAN_ROUTED_BLOCK" dev "$SIMLAN_ROUTER_IF" \
        src "$SIMLAN_ROUTER_ADDRESS" || return 1
    for ((i = 1; i <= devices; i++)); do
        ip -n "$SIMLAN_ROUTED_NS" addr add "$(simlan_routed_device_address $i)/$SIMLAN_ROUTED_PREFIX_LENGTH" \
            dev "$SIMLAN_ROUTED_IF" || return 1
    done
    ip -n "$SIMLAN_ROUTED_NS" link set lo up || return 1
    ip -n "$SIMLAN_ROUTED_NS" link set "$SIMLAN_ROUTED_IF" up || return 1
    ip -n "$SIMLAN_ROUTED_NS" route add default via "$SIMLAN_ROUTER_ADDRESS" || return 1
}

# simlan_run_routed_sim PREVIOUS_PID SIMULATOR [ARGS...]: runs in the background as the one PID
# that stops both: at TERM it ends the routed simulator and PREVIOUS_PID (the LAN's own, if any).
simlan_run_routed_sim() {
    local previous=$1 child
    shift
    trap 'kill $child $previous 2>/dev/null; wait $child; exit 0' TERM
    ip netns exec "$SIMLAN_ROUTED_NS" "$@" &
    child=$!
    wait $child
    # Ended by itself: the LAN's own simulator still needs stopping at TERM.
    while [ -n "$previous" ] && kill -0 "$previous" 2>/dev/null; do
        sleep 0.2 &
        wait $!
    done
}

# simlan_start_routed_sim DEVICE_COUNT SIMULATOR [ARGS...]: builds the routed subnet (once per LAN)
# and starts its simulator there, after the LAN's own if any; SIMLAN_SIM_PID then stops both.
simlan_start_routed_sim() {
    local devices=$1 ready status=0
    shift
    SIMLAN_ROUTED_NS=$SIMLAN_ROBOT_NS-routed
    if ! simlan_add_routed_subnet "$devices"; then
        ip netns del "$SIMLAN_ROUTED_NS" 2>/dev/null
        return 1
    fi
    ready=$(mktemp -u /tmp/simlan-ready.XXXXXX)
    simlan_run_routed_sim "$SIMLAN_SIM_PID" "$1" --interface "$SIMLAN_ROUTED_IF" \
        --first-address "$(simlan_routed_device_address 1)" --ready-file "$ready" "${@:2}" &
    SIMLAN_SIM_PID=$!
    simlan_wait_ready "$ready" "$SIMLAN_SIM_PID" || status=1
    rm -f "$ready"
    # From here on only the simulator's process holds the namespace.
    ip netns del "$SIMLAN_ROUTED_NS" || status=1
    return $status
}

# The layout, one KEY=VALUE a line, for programs that run this script.
simlan_describe() {
    echo "client_address=$SIMLAN_CLIENT_ADDRESS"
    echo "robot_host_address=$SIMLAN_ROBOT_HOST_ADDRESS"
    echo "device_net=$SIMLAN_DEVICE_NET"
    echo "first_device_host=$SIMLAN_FIRST_DEVICE_HOST"
    echo "first_local_robot_host=$SIMLAN_FIRST_LOCAL_ROBOT_HOST"
    echo "first_storm_host=$SIMLAN_FIRST_STORM_HOST"
    echo "client_interface=$SIMLAN_CLIENT_IF"
    echo "robot_interface=$SIMLAN_ROBOT_IF"
}

SIMLAN_PROGRAM=${0##*/}

simlan_usage() {
    cat <<EOF
Usage: $SIMLAN_PROGRAM create NAME [DEVICES]
       $SIMLAN_PROGRAM destroy NAME
       $SIMLAN_PROGRAM join CLIENT_PID ROBOT_PID [DEVICES]
       $SIMLAN_PROGRAM describe
Builds a private simulated LAN of two network namespaces joined by a veth pair and connected
to nothing else: NAME-c, the client host, and NAME-r, the robot host.

  create NAME [DEVICES]   make NAME-c and NAME-r, with DEVICES device addresses (default 0)
  destroy NAME            remove them
  join CLIENT_PID ROBOT_PID [DEVICES]
                          give the network namespaces of two running processes that layout
  describe                print the layout, KEY=VALUE a line
  --version               print the version
  --help                  this text

Client $SIMLAN_CLIENT_ADDRESS on $SIMLAN_CLIENT_IF; robot host $SIMLAN_ROBOT_HOST_ADDRESS on $SIMLAN_ROBOT_IF,
devices from $(simlan_device_address 1) on, $SIMLAN_LOCAL_ROBOT_BLOCK and $SIMLAN_STORM_BLOCK local to it.
Both sides route $SIMLAN_MULTICAST_ROUTE onto their link, so that searches and answers reach the other side.
Needs root.

Exit status: 0 on success, 1 on a bad command line, 2 when the LAN could not be made.
EOF
}

# simlan_usage_error MESSAGE: the error line and where to look; the status to return.
simlan_usage_error() {
    echo "$SIMLAN_PROGRAM: $1" >&2
    echo "Try '$SIMLAN_PROGRAM --help' for more information." >&2
    return 1
}

# simlan_cli_create NAME DEVICES: simlan_create for the command line, cleaning up on failure.
simlan_cli_create() {
    simlan_can_run "$SIMLAN_PROGRAM" || return 2
    if ! simlan_create "$1" "$2"; then
        simlan_destroy
        echo "$SIMLAN_PROGRAM: could not create the namespaces $1-c and $1-r" >&2
        return 2
    fi
}

# simlan_cli_join CLIENT_PID ROBOT_PID DEVICES: simlan_join for the command line.
simlan_cli_join() {
    simlan_can_run "$SIMLAN_PROGRAM" || return 2
    if ! simlan_join "$1" "$2" "$3"; then
        echo "$SIMLAN_PROGRAM: could not join the namespaces of processes $1 and $2" >&2
        return 2
    fi
}

# simlan_main ARGS...: the command line of the script when run rather than sourced.
simlan_main() {
    case ${1:-} in
    create)
        if [ $# -lt 2 ] || [ $# -gt 3 ]; then
            simlan_usage_error "create takes NAME and optionally DEVICES"
            return
        fi
        simlan_cli_create "$2" "${3:-0}"
        ;;
    destroy)
        if [ $# -ne 2 ]; then
            simlan_usage_error "destroy takes NAME"
            return
        fi
        SIMLAN_CLIENT_NS=$2-c
        SIMLAN_ROBOT_NS=$2-r
        simlan_destroy
        ;;
    join)
        if [ $# -lt 3 ] || [ $# -gt 4 ]; then
            simlan_usage_error "join takes CLIENT_PID, ROBOT_PID and optionally DEVICES"
            return
        fi
        simlan_cli_join "$2" "$3" "${4:-0}"
        ;;
    describe) simlan_describe ;;
    -h | --help) simlan_usage ;;
    --version) echo "$SIMLAN_PROGRAM $SIMLAN_VERSION" ;;
    "") simlan_usage_error "no command given" ;;
    -*) simlan_usage_error "unknown option '$1'" ;;
    *) simlan_usage_error "unknown command '$1'" ;;
    esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    simlan_main "$@"
    exit $?
fi
