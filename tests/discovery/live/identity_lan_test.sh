#!/usr/bin/env bash
# A robot is its UDN, in a watch through the installed library on a private LAN: a device copying
# a robot's UDN never stands in for it while it answers and takes it over at the end of the round
# it missed; one robot at two addresses is told once and stays put; a robot whose address changes
# moves without a GONE; a robot whose address another robot takes is GONE. And the client's
# interfaces as the kernel changes them: a labelled second subnet, an address replaced in one
# burst, a link without carrier for a while, one removed while down, and more interfaces than one
# socket may join the group on.
#
#   identity_lan_test.sh INSTALL-PREFIX LIVE-HOST
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
e2e_require_lan

readonly DEVICES=7
readonly PERIOD_MS=1000
readonly WATCH_MS=11000
# Long enough that no round's search finds what only an interface change or an announcement can.
readonly LONG_PERIOD_MS=30000
readonly LONG_WATCH_MS=5000
readonly WITHIN_MS=1000
# The round the robot misses starts within a period of its end, and ends a period later.
readonly MOVED_WITHIN_MS=$((2 * PERIOD_MS + 500))
# The host's clock starts a moment after the test's: an event may seem that much early.
readonly CLOCK_SLACK_MS=200
# Per socket; the kernel's default, set here so that the last rows mean what they say.
readonly MEMBERSHIPS_PER_SOCKET=20
readonly CLIENT_INTERFACES=26
simulator=$prefix/bin/seekwell-robot-sim

udn() { echo "uuid:R0VA-5151-4000-8000-0000000000f$1"; }
robot_udn=$(udn 1) mover_udn=$(udn 2) twin_udn=$(udn 3) leaver_udn=$(udn 4) taker_udn=$(udn 5)
robot=$(simlan_device_address 1)
copier=$(simlan_device_address 2)
leaver=$(simlan_device_address 3)
mover=$(simlan_device_address 4)
moved_to=$(simlan_device_address 7)

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1

# device_sim N UDN [ARGS...]: robot N in a simulator of its own, PID in SIMLAN_MORE_SIM_PID.
device_sim() {
    simlan_start_more_sim "$1" "$simulator" --robots 1 --udn "1:$2" "${@:3}" "${E2E_SIM_LIFETIME[@]}" || exit 1
}
# vanish PID: a simulator killed outright, its devices silent, their addresses free.
vanish() {
    kill -KILL "$1"
    wait "$1" 2>/dev/null
}
# link_sim PEER ADDRESS [ARGS...]: a robot at ADDRESS/24 on the robot host's end PEER of a link.
link_sim() {
    simlan_ip "$SIMLAN_ROBOT_NS" addr add "$2/24" dev "$1" || exit 1
    simlan_start_sim_on "$1" "$2" "$simulator" --robots 1 "${@:3}" "${E2E_SIM_LIFETIME[@]}" || exit 1
}

now_ms() { echo $((($(date +%s%N) - started) / 1000000)); }
# event_ms KIND ADDRESS FILE: when the host told of it, in ms after its start.
event_ms() { grep "^$1 .* $2 http" "$3" | head -n 1 | sed "s/^$1 +\([0-9]*\) .*/\1/"; }
count() { grep -c "^$1 .* $2 http" "$3"; }
# told UDN FILE: "KIND ADDRESS" of each ROBOT and GONE naming the robot, on one line.
told() { awk -v udn="$1" '/^(ROBOT|GONE) /{ kind = $1 } /^UDN / && $3 == udn { printf "%s %s ", kind, $2 }' "$2"; }
# told_ms UDN ADDRESS FILE: when the robot was last told at that address.
told_ms() {
    awk -v udn="$1" -v at="$2" '/^(ROBOT|GONE) /{ ms = substr($2, 2) } /^UDN / && $3 == udn && $2 == at { last = ms }
        END { print last }' "$3"
}
within() { # within WHAT ACTION_MS EVENT_MS LIMIT
    expect_true "$1: $(($3 - $2)) ms after (at most $4)" \
        test -n "$3" -a "$(($3 - $2))" -le "$4" -a "$(($3 - $2))" -ge -$CLOCK_SLACK_MS
}
# at_ms MS: sleeps until MS after the host's start.
at_ms() {
    local left=$(($1 - $(now_ms)))
    [ $left -le 0 ] || sleep "$((left / 1000)).$(printf %03d $((left % 1000)))"
}
# await PATTERN FILE: until a line of FILE matches, 3 s at most.
await() {
    local i
    for ((i = 0; i < 30; i++)); do
        grep -q "$1" "$2" && return
        sleep 0.1
    done
}

# The watch of a short period: the robot whose UDN is copied, one that changes its address, one
# that leaves its address to another, one at two addresses, one behind a link that loses carrier.
device_sim 1 "$robot_udn"
robot_sim=$SIMLAN_MORE_SIM_PID
device_sim 3 "$leaver_udn"
leaver_sim=$SIMLAN_MORE_SIM_PID
device_sim 4 "$mover_udn"
mover_sim=$SIMLAN_MORE_SIM_PID
simlan_start_more_sim 5 "$simulator" --robots 2 --udn "1:$twin_udn" --udn "2:$twin_udn" "${E2E_SIM_LIFETIME[@]}" ||
    exit 1
readonly FADING_LINK=sw-client2 FADING_PEER=sw-robots2 FADING_ROBOT=198.18.7.10
simlan_add_link $FADING_LINK $FADING_PEER 198.18.7 || exit 1
link_sim $FADING_PEER $FADING_ROBOT

out="$E2E_WORK/identity.out"
started=$(date +%s%N)
LD_LIBRARY_PATH="$alone" simlan_client "$host" watch $PERIOD_MS $WATCH_MS >"$out" 2>&1 &
watcher=$!
# The copier comes once the robot is known at its own address; before, the first read would decide.
await "^UDN $robot " "$out"
device_sim 2 "$robot_udn"
# Without carrier from before the second round until the fourth is over: three whole rounds in
# which its robot cannot answer.
at_ms 700
simlan_ip "$SIMLAN_ROBOT_NS" link set $FADING_PEER down
at_ms 2900
killed_ms=$(now_ms)
vanish "$robot_sim"
at_ms 4200
simlan_ip "$SIMLAN_ROBOT_NS" link set $FADING_PEER up
at_ms 4700
vanish "$mover_sim"
mover_started_ms=$(now_ms)
device_sim 7 "$mover_udn" --announce
at_ms 6200
vanish "$leaver_sim"
taker_started_ms=$(now_ms)
device_sim 3 "$taker_udn" --announce
at_ms 7700
simlan_ip "$SIMLAN_CLIENT_NS" link set $FADING_LINK down
at_ms 9200
removed_ms=$(now_ms)
simlan_ip "$SIMLAN_CLIENT_NS" link del $FADING_LINK
wait $watcher
cat "$out"

expect_equal "a copied UDN: told at the robot's address, then moved to the copier" \
    "$(told "$robot_udn" "$out")" "ROBOT $robot ROBOT $copier "
within "the robot killed: its UDN at the copier's address" "$killed_ms" \
    "$(told_ms "$robot_udn" "$copier" "$out")" $MOVED_WITHIN_MS
# Bar the copier's answers to the other link's searches, which it hears too.
expect_equal "no event names the copier before the robot's UDN moved there" \
    "$(grep -E '^(ROBOT|GONE|SKIPPED) ' "$out" | grep -v "^SKIPPED +[0-9]* $copier 12 " | grep -m1 " $copier " |
        cut -d' ' -f1-2)" \
    "ROBOT +$(told_ms "$robot_udn" "$copier" "$out")"
expect_true "one robot at two addresses: told once, never moved ($(told "$twin_udn" "$out"))" \
    test "$(told "$twin_udn" "$out" | wc -w)" -eq 2
expect_equal "a robot at a new address: moved, no GONE" "$(told "$mover_udn" "$out")" "ROBOT $mover ROBOT $moved_to "
within "a robot at a new address, announcing" "$mover_started_ms" "$(told_ms "$mover_udn" "$moved_to" "$out")" \
    $WITHIN_MS
expect_equal "a robot whose address another took: GONE" "$(told "$leaver_udn" "$out")" "ROBOT $leaver GONE $leaver "
expect_equal "the robot that took it: told" "$(told "$taker_udn" "$out")" "ROBOT $leaver "
within "the address taken: GONE" "$taker_started_ms" "$(told_ms "$leaver_udn" "$leaver" "$out")" $WITHIN_MS
within "the address taken: the new robot" "$taker_started_ms" "$(told_ms "$taker_udn" "$leaver" "$out")" $WITHIN_MS
expect_equal "a link without carrier for 3 s, then down: its robot stays" \
    "$(count ROBOT $FADING_ROBOT "$out") $(count GONE $FADING_ROBOT "$out")" "1 1"
within "a link removed while down: GONE" "$removed_ms" "$(event_ms GONE $FADING_ROBOT "$out")" $WITHIN_MS

# The watch of a long period: a labelled subnet on the client's link, a link whose address is
# replaced, and so many links that the announcements of the last come in on a socket of their own.
readonly LABELLED_ROBOT=198.18.9.10
simlan_ip "$SIMLAN_CLIENT_NS" addr add 198.18.9.1/24 dev "$SIMLAN_CLIENT_IF" label "$SIMLAN_CLIENT_IF:1" || exit 1
link_sim "$SIMLAN_ROBOT_IF" $LABELLED_ROBOT
readonly RENUMBERED_LINK=sw-client3 RENUMBERED_PEER=sw-robots3 RENUMBERED_ROBOT=198.18.11.10
simlan_add_link $RENUMBERED_LINK $RENUMBERED_PEER 198.18.10 || exit 1
link_sim $RENUMBERED_PEER $RENUMBERED_ROBOT
simlan_client sysctl -q -w net.ipv4.igmp_max_memberships=$MEMBERSHIPS_PER_SOCKET || exit 1
for ((i = 1; i <= CLIENT_INTERFACES - 2; i++)); do
    simlan_add_link sw-many$i sw-far$i 198.18.$((20 + i)) || exit 1
done
last=$((CLIENT_INTERFACES - 2))
announcer=198.18.$((20 + last)).10
expect_equal "interfaces of the client" "$(simlan_ip "$SIMLAN_CLIENT_NS" -o link show | grep -vc ': lo:')" \
    $CLIENT_INTERFACES

out="$E2E_WORK/interfaces.out"
started=$(date +%s%N)
LD_LIBRARY_PATH="$alone" simlan_client "$host" watch $LONG_PERIOD_MS $LONG_WATCH_MS >"$out" 2>&1 &
watcher=$!
sleep 2
renumbered_ms=$(now_ms)
simlan_ip "$SIMLAN_CLIENT_NS" -batch - <<EOF
addr del 198.18.10.1/24 dev $RENUMBERED_LINK
addr add 198.18.11.1/24 dev $RENUMBERED_LINK
EOF
sleep 1
announced_ms=$(now_ms)
link_sim sw-far$last "$announcer" --announce
wait $watcher
cat "$out"

expect_true "a labelled subnet: searched, its robot found" test -n "$(event_ms ROBOT $LABELLED_ROBOT "$out")"
expect_equal "a labelled subnet: its robot not off the subnet of the link" \
    "$(grep -c "^SKIPPED +[0-9]* $LABELLED_ROBOT 12 .* $SIMLAN_CLIENT_IF," "$out")" 0
within "an address replaced in one burst: searched, its robot found" "$renumbered_ms" \
    "$(event_ms ROBOT $RENUMBERED_ROBOT "$out")" $WITHIN_MS
within "a robot announcing behind interface $CLIENT_INTERFACES" "$announced_ms" \
    "$(event_ms ROBOT "$announcer" "$out")" $WITHIN_MS
e2e_finish
