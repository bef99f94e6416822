#!/usr/bin/env bash
# A watch through the installed library as a "robots on this network" panel lives it, on a private
# LAN of simulated robots that announce themselves: a robot switched on during the watch comes at
# its announcement, one switched off says goodbye and goes at once, one that vanishes without a
# word goes after the rounds it missed; a second link brought up during the watch is searched at
# once, one that is down for a while keeps its robot, one removed takes it; forged announcements
# change nothing.
#
#   watch_lan_test.sh INSTALL-PREFIX LIVE-HOST FORGER
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
forger=$3
e2e_require_lan

readonly DEVICES=6
# A period long enough that no round's search finds what only an announcement can tell.
readonly LONG_PERIOD_MS=30000
readonly WATCH_MS=16000
readonly SHORT_PERIOD_MS=500
readonly ANNOUNCED_WITHIN_MS=1000
readonly BYEBYE_WITHIN_MS=500
readonly LINK_WITHIN_MS=1000
readonly SECOND_LINK=sw-client2
readonly SECOND_PEER=sw-robots2
readonly SECOND_NET=198.18.7
readonly SECOND_ROBOT=$SECOND_NET.10
simulator=$prefix/bin/seekwell-robot-sim

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1
# Robot 1 is there from the start and never announces.
simlan_start_sim "$simulator" --robots 1 --log "$E2E_WORK/traffic.log" "${E2E_SIM_LIFETIME[@]}" || exit 1

# A second segment between the namespaces, its client end down until the watch brings it up,
# with a robot of its own behind it.
simlan_add_link $SECOND_LINK $SECOND_PEER $SECOND_NET down || exit 1
simlan_ip "$SIMLAN_ROBOT_NS" addr add $SECOND_ROBOT/24 dev $SECOND_PEER || exit 1
simlan_runner "$SIMLAN_ROBOT_NS"
"${SIMLAN_RUNNER[@]}" "$simulator" --interface $SECOND_PEER --first-address $SECOND_ROBOT --robots 1 \
    --ready-file "$E2E_WORK/second.ready" "${E2E_SIM_LIFETIME[@]}" &
SIMLAN_MORE_SIM_PIDS+=($!)
simlan_wait_ready "$E2E_WORK/second.ready" $! || exit 1

now_ms() { echo $((($(date +%s%N) - started) / 1000000)); }
# event_ms KIND ADDRESS FILE: when the host told of it, in ms after its start.
event_ms() { grep "^$1 .* $2 http" "$3" | head -n 1 | sed "s/^$1 +\([0-9]*\) .*/\1/"; }
count() { grep -c "^$1 .* $2 http" "$3"; }
within() { # within WHAT ACTION_MS EVENT_MS LIMIT
    expect_true "$1: $(($3 - $2)) ms after (at most $4)" test -n "$3" -a "$(($3 - $2))" -le "$4"
}

out="$E2E_WORK/watch.out"
started=$(date +%s%N)
LD_LIBRARY_PATH="$alone" simlan_client "$host" watch $LONG_PERIOD_MS $WATCH_MS >"$out" 2>&1 &
watcher=$!
sleep 1

# Robot 2 is switched on, announcing; then off, saying goodbye.
on_ms=$(now_ms)
simlan_start_more_sim 2 "$simulator" --robots 1 --announce "${E2E_SIM_LIFETIME[@]}" || exit 1
robot2=$SIMLAN_MORE_SIM_PID
sleep 1.5
off_ms=$(now_ms)
kill -TERM "$robot2"
wait "$robot2" 2>/dev/null

# Forged: an alive from a nobody's address naming robot 1's description, a goodbye in robot 1's
# name from another address.
forge() { simlan_robots "$forger" --interface "$SIMLAN_ROBOT_IF" --lifetime 10 "$@" >/dev/null 2>&1; }
robot1_udn=$(grep -m1 "^UDN $(simlan_device_address 1) " "$out" | cut -d' ' -f3)
forge --notify alive --source "$(simlan_device_address 5)" --location "$(simlan_device_address 1)"
forge --notify byebye --source "$(simlan_device_address 6)" --usn "${robot1_udn:-none}::upnp:rootdevice"

# The second link: brought up, down for 1.5 s and up again, then removed.
sleep 0.5
up_ms=$(now_ms)
simlan_ip "$SIMLAN_CLIENT_NS" link set $SECOND_LINK up
sleep 2
simlan_ip "$SIMLAN_CLIENT_NS" link set $SECOND_LINK down
sleep 1.5
simlan_ip "$SIMLAN_CLIENT_NS" link set $SECOND_LINK up
sleep 1.5
removed_ms=$(now_ms)
simlan_ip "$SIMLAN_CLIENT_NS" link del $SECOND_LINK
wait $watcher
cat "$out"

robot1=$(simlan_device_address 1)
robot2_address=$(simlan_device_address 2)
within "robot 2 switched on: ROBOT" "$on_ms" "$(event_ms ROBOT "$robot2_address" "$out")" $ANNOUNCED_WITHIN_MS
within "robot 2 switched off: GONE" "$off_ms" "$(event_ms GONE "$robot2_address" "$out")" $BYEBYE_WITHIN_MS
within "the second link up: its robot" "$up_ms" "$(event_ms ROBOT $SECOND_ROBOT "$out")" $LINK_WITHIN_MS
expect_equal "the second link down for 1.5 s: its robot stays" "$(count ROBOT $SECOND_ROBOT "$out")" 1
within "the second link removed: GONE" "$removed_ms" "$(event_ms GONE $SECOND_ROBOT "$out")" $BYEBYE_WITHIN_MS
expect_equal "robot 1: reported once, never gone" "$(count ROBOT "$robot1" "$out") $(count GONE "$robot1" "$out")" "1 0"
expect_equal "events name robots by UDN" "$(grep -c '^UDN .* uuid:' "$out")" \
    "$(($(grep -c '^ROBOT ' "$out") + $(grep -c '^GONE ' "$out")))"
expect_equal "a forged alive fetches nothing from the address it names" \
    "$(grep -c "^http to=$robot1 " "$E2E_WORK/traffic.log")" 1

# A robot that vanishes without a word: GONE once the rounds it missed are over.
out="$E2E_WORK/silent.out"
simlan_start_more_sim 3 "$simulator" --robots 1 --announce "${E2E_SIM_LIFETIME[@]}" || exit 1
silent=$SIMLAN_MORE_SIM_PID
started=$(date +%s%N)
LD_LIBRARY_PATH="$alone" simlan_client "$host" watch $SHORT_PERIOD_MS 4000 >"$out" 2>&1 &
watcher=$!
sleep 1
killed_ms=$(now_ms)
kill -KILL "$silent"
wait $watcher
cat "$out"
gone=$(event_ms GONE "$(simlan_device_address 3)" "$out")
expect_true "a robot killed: GONE after 3 missed rounds (${gone:-never} ms, killed at $killed_ms)" \
    test -n "$gone" -a "$((gone - killed_ms))" -ge $((2 * SHORT_PERIOD_MS)) -a "$((gone - killed_ms))" -le $((5 * SHORT_PERIOD_MS))
e2e_finish
