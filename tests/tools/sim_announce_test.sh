#!/usr/bin/env bash
# The simulator's announcements as a client on the LAN hears them: each device's ssdp:alive,
# multicast from its own address with TTL 2, three at the start and then every second; at TERM
# each device's ssdp:byebye, at KILL nothing more at all. Later simulators on further device
# addresses of the LAN, stopped either way, and the LAN's cleanup stopping one left running.
# Then the forger's announcements: an alive naming another host, a byebye with a robot's USN sent
# once a search is heard, a flood of alives from ever-new senders of the LAN, and alives from a
# robot's own address in its name, each with a boot id of its own.
#
#   sim_announce_test.sh SIMULATOR FORGER
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
simulator=$1
forger=$2
e2e_require_lan

# The LAN's own simulator: a robot and another device; then one robot each for TERM and KILL.
readonly DEVICES=4
readonly TERM_DEVICE=3
readonly KILL_DEVICE=4
readonly KILL_BOOT_ID=5
readonly ANNOUNCE=(--announce --announce-every 1)
readonly START_ALIVES=3
readonly WAIT_LIMIT_S=5
# Two periods of the others: long enough for a killed robot to have been heard again.
readonly SILENCE_S=2.5
readonly LISTEN_LIMIT_S=60
readonly EXPECTED_TTL=2
readonly FORGED_SENDER=192.0.2.50
readonly FORGED_LOCATION_HOST=192.0.2.60
# The flood: each from a new sender of the LAN, none of the hosts or devices.
readonly FLOOD_SOURCES=192.0.2.0/24
readonly FLOOD_AVOID=192.0.2.1-192.0.2.63
readonly FLOOD_RATE=1000
readonly FLOOD_MS=150
readonly FLOOD_COUNT=$((FLOOD_RATE * FLOOD_MS / 1000))
readonly FORGER_LIFETIME_S=20
readonly REBOOT_RATE=1000
readonly REBOOT_MS=50
readonly REBOOT_COUNT=$((REBOOT_RATE * REBOOT_MS / 1000))
readonly NOT_YET_S=0.5
# Listens on the group's port in the client namespace, joined to the group on argv[4], and writes
# "SENDER TTL METHOD NTS USN LOCATION BOOTID" a line for each datagram ("-" for a header left
# out) to argv[1], until argv[3] exists or argv[5] seconds have passed; argv[2] once listening.
readonly LISTEN_PY='
import os, socket, struct, sys, time
IP_RECVTTL = 12  # Linux; the socket module does not name it
out, ready, stop, interface, limit = sys.argv[1:6]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", 1900))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, struct.pack(
    "4s4si", socket.inet_aton("239.255.255.250"), socket.inet_aton("0.0.0.0"), socket.if_nametoindex(interface)))
s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
s.settimeout(0.2)
open(ready, "w").close()
end = time.monotonic() + float(limit)
with open(out, "a", buffering=1) as log:
    while time.monotonic() < end and not os.path.exists(stop):
        try:
            data, ancillary, _, sender = s.recvmsg(65536, socket.CMSG_SPACE(4))
        except socket.timeout:
            continue
        ttl = [int.from_bytes(d[:4], sys.byteorder) for level, kind, d in ancillary
               if level == socket.IPPROTO_IP and kind == socket.IP_TTL]
        lines = data.decode("ascii", "replace").split("\r\n")
        headers = dict((n.strip().upper(), v.strip()) for n, _, v in (l.partition(":") for l in lines[1:]) if _)
        print(sender[0], ttl[0] if ttl else "-", lines[0].split(" ")[0],
              *(headers.get(n) or "-" for n in ("NTS", "USN", "LOCATION", "BOOTID.UPNP.ORG")), file=log)
'
heard="$E2E_WORK/heard"

# start_listener FILE: the client's ear on the group, writing to FILE, running once it returns.
start_listener() {
    heard=$1
    simlan_client python3 -c "$LISTEN_PY" "$heard" "$heard.ready" "$heard.stop" "$SIMLAN_CLIENT_IF" \
        $LISTEN_LIMIT_S &
    LISTENER_PID=$!
    for _ in $(seq 50); do [ -e "$heard.ready" ] && return 0; sleep 0.1; done
    echo "the listener did not start" >&2
    return 1
}

stop_listener() {
    touch "$heard.stop"
    wait "$LISTENER_PID"
}

# heard_from NTS ADDRESS: how many announcements of that kind the client heard from the address.
heard_from() {
    awk -v nts="$1" -v from="$2" '$1 == from && $4 == nts' "$heard" | wc -l
}

heard_count() {
    heard_from "$1" "$(simlan_device_address "$2")"
}

# await_heard_from NTS ADDRESS COUNT: waits, at most WAIT_LIMIT_S, until the client has heard that
# many.
await_heard_from() {
    local waited=0
    while [ "$(heard_from "$1" "$2")" -lt "$3" ] && [ $waited -lt $((WAIT_LIMIT_S * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    expect_true "$1 from $2: heard $(heard_from "$1" "$2"), expected at least $3" \
        test "$(heard_from "$1" "$2")" -ge "$3"
}

await_heard() {
    await_heard_from "$1" "$(simlan_device_address "$2")" "$3"
}

# field_from ADDRESS NTS COLUMN: the distinct values of one column of its announcements.
field_from() {
    awk -v nts="$2" -v from="$1" -v column="$3" '$1 == from && $4 == nts { print $column }' "$heard" |
        sort -u | tr '\n' ' ' | sed 's/ $//'
}

field() {
    field_from "$(simlan_device_address "$1")" "$2" "$3"
}

# start_forger NAME ARGS...: the forger in the robot namespace, ready once this returns; it ends
# once it has sent what it was told, its report in $E2E_WORK/NAME.report.
start_forger() {
    local name=$1
    shift
    simlan_runner "$SIMLAN_ROBOT_NS"
    "${SIMLAN_RUNNER[@]}" "$forger" --interface "$SIMLAN_ROBOT_IF" --lifetime $FORGER_LIFETIME_S \
        --report "$E2E_WORK/$name.report" --ready-file "$E2E_WORK/$name.ready" "$@" &
    FORGER_PID=$!
    for _ in $(seq 50); do [ -e "$E2E_WORK/$name.ready" ] && return 0; sleep 0.1; done
    echo "the forger $name did not start" >&2
    return 1
}

simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1
start_listener "$E2E_WORK/heard-sim" || exit 1
simlan_start_sim "$simulator" --robots 1 --others 1 "${ANNOUNCE[@]}" --log "$E2E_WORK/sim.log" \
    "${E2E_SIM_LIFETIME[@]}" || exit 1
simlan_start_more_sim $TERM_DEVICE "$simulator" --robots 1 "${ANNOUNCE[@]}" "${E2E_SIM_LIFETIME[@]}" || exit 1
term_pid=$SIMLAN_MORE_SIM_PID
simlan_start_more_sim $KILL_DEVICE "$simulator" --robots 1 "${ANNOUNCE[@]}" --boot-id $KILL_BOOT_ID \
    "${E2E_SIM_LIFETIME[@]}" || exit 1
kill_pid=$SIMLAN_MORE_SIM_PID

# Three alives at the start, then one a second, from every device.
for ((device = 1; device <= DEVICES; device++)); do
    await_heard ssdp:alive $device $((START_ALIVES + 1))
done

kill -TERM "$term_pid"
wait "$term_pid"
expect_equal "exit status of the simulator stopped by TERM" $? 0
await_heard ssdp:byebye $TERM_DEVICE 1

kill -KILL "$kill_pid"
wait "$kill_pid" 2>/dev/null
killed_alives=$(heard_count ssdp:alive $KILL_DEVICE)
main_alives=$(heard_count ssdp:alive 1)
sleep $SILENCE_S
expect_equal "alives from the killed robot after KILL" "$(heard_count ssdp:alive $KILL_DEVICE)" "$killed_alives"
expect_true "the LAN's robot went on announcing meanwhile" test "$(heard_count ssdp:alive 1)" -gt "$main_alives"

kill -TERM "$SIMLAN_SIM_PID"
wait "$SIMLAN_SIM_PID"
SIMLAN_SIM_PID=
await_heard ssdp:byebye 1 1
await_heard ssdp:byebye 2 1
stop_listener

# What each device said: NOTIFY, TTL 2, its own USN and LOCATION, its boot id; one byebye each
# from the stopped ones, with the USN of its alives and no LOCATION.
expect_equal "methods heard" "$(awk '{ print $3 }' "$heard" | sort -u)" NOTIFY
expect_equal "TTLs heard" "$(awk '{ print $2 }' "$heard" | sort -u)" $EXPECTED_TTL
expect_equal "senders heard" "$(awk '{ print $1 }' "$heard" | sort -u | tr '\n' ' ')" \
    "$(for ((d = 1; d <= DEVICES; d++)); do echo -n "$(simlan_device_address $d) "; done)"
expect_equal "LOCATION of device 1" "$(field 1 ssdp:alive 6)" "http://$(simlan_device_address 1)/ROVA.XML"
expect_equal "LOCATION of device 2" "$(field 2 ssdp:alive 6)" "http://$(simlan_device_address 2)/description.xml"
expect_equal "boot id of the killed robot" "$(field $KILL_DEVICE ssdp:alive 7)" $KILL_BOOT_ID
expect_equal "byebyes from the killed robot" "$(heard_count ssdp:byebye $KILL_DEVICE)" 0
for device in 1 2 $TERM_DEVICE; do
    expect_equal "byebyes from device $device" "$(heard_count ssdp:byebye $device)" 1
    expect_equal "USN of device $device's byebye" "$(field $device ssdp:byebye 5)" "$(field $device ssdp:alive 5)"
    expect_equal "LOCATION of device $device's byebye" "$(field $device ssdp:byebye 6)" -
done
expect_true "the USN of device 1 is the robot's" grep -q "^uuid:R0VA-.*::upnp:rootdevice$" <<<"$(field 1 ssdp:alive 5)"
expect_equal "alives logged by the LAN's simulator" \
    "$(grep -c "^notify from=$(simlan_device_address 1):[0-9]* to=239.255.255.250:1900 nts=ssdp:alive " \
        "$E2E_WORK/sim.log")" "$(heard_count ssdp:alive 1)"

# The forger: an alive from nobody's address naming another host; a byebye with device 1's USN,
# held back until a search is heard; alives from a new sender each.
robot_usn=$(field 1 ssdp:alive 5)
start_listener "$E2E_WORK/heard-forged" || exit 1
start_forger alive --notify alive --source $FORGED_SENDER --location $FORGED_LOCATION_HOST || exit 1
wait "$FORGER_PID"
await_heard_from ssdp:alive $FORGED_SENDER 1
expect_equal "LOCATION of the forged alive" "$(field_from $FORGED_SENDER ssdp:alive 6)" \
    "http://$FORGED_LOCATION_HOST/ROVA.XML"
expect_equal "forged alives reported" "$(e2e_value "$E2E_WORK/alive.report" forged_notifies)" 1

start_forger byebye --notify byebye --on-search --source $FORGED_SENDER --usn "$robot_usn" || exit 1
sleep $NOT_YET_S
expect_equal "forged byebyes before a search" "$(heard_from ssdp:byebye $FORGED_SENDER)" 0
# One search to the group from the client, inside the LAN this test made; no wait for replies.
simlan_client python3 "$E2E_DIR/ssdp_search.py" 239.255.255.250 0 >/dev/null
wait "$FORGER_PID"
await_heard_from ssdp:byebye $FORGED_SENDER 1
expect_equal "USN of the forged byebye" "$(field_from $FORGED_SENDER ssdp:byebye 5)" "$robot_usn"
expect_equal "LOCATION of the forged byebye" "$(field_from $FORGED_SENDER ssdp:byebye 6)" -

start_forger flood --notify alive --source $FLOOD_SOURCES --avoid $FLOOD_AVOID --rate $FLOOD_RATE \
    --duration-ms $FLOOD_MS || exit 1
wait "$FORGER_PID"
expect_equal "forged alives of the flood reported" "$(e2e_value "$E2E_WORK/flood.report" forged_notifies)" \
    $FLOOD_COUNT
# "SENDER USN" of each alive of the flood.
flood_alives() {
    awk -v forged=$FORGED_SENDER '$1 != forged && $4 == "ssdp:alive" { print $1, $5 }' "$heard"
}
for ((waited = 0; waited < WAIT_LIMIT_S * 10; waited++)); do
    [ "$(flood_alives | wc -l)" -ge $FLOOD_COUNT ] && break
    sleep 0.1
done
stop_listener
flood=$(flood_alives)
expect_equal "alives of the flood heard" "$(wc -l <<<"$flood")" $FLOOD_COUNT
expect_equal "senders of the flood" "$(cut -d' ' -f1 <<<"$flood" | sort -u | wc -l)" $FLOOD_COUNT
expect_equal "USNs of the flood" "$(cut -d' ' -f2 <<<"$flood" | sort -u | wc -l)" $FLOOD_COUNT

# Device 1, stopped by now, played by the forger: its address, its USN, a new boot id each time.
start_listener "$E2E_WORK/heard-reboots" || exit 1
start_forger reboots --notify alive --source "$(simlan_device_address 1)" --usn "$robot_usn" --boot-id-each \
    --rate $REBOOT_RATE --duration-ms $REBOOT_MS || exit 1
wait "$FORGER_PID"
await_heard ssdp:alive 1 $REBOOT_COUNT
stop_listener
expect_equal "USN of the rebooting alives" "$(field 1 ssdp:alive 5)" "$robot_usn"
expect_equal "boot ids of the rebooting alives" "$(field 1 ssdp:alive 7 | wc -w)" $REBOOT_COUNT

# A later simulator left running is the LAN's cleanup's to stop.
simlan_start_more_sim $TERM_DEVICE "$simulator" --robots 1 "${ANNOUNCE[@]}" "${E2E_SIM_LIFETIME[@]}" || exit 1
left_pid=$SIMLAN_MORE_SIM_PID
simlan_destroy
expect_true "the simulator left running outlived the cleanup" test ! -e "/proc/$left_pid"

e2e_finish
