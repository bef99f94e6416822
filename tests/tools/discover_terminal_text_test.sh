#!/usr/bin/env bash
# seekwell-discover on a private LAN with a robot whose name carries an escape sequence, DEL,
# invalid UTF-8 and Japanese, in a UTF-8 locale: its table, its live lines, and its live lines on a
# client without a route to the multicast group (where the blocking call's built-in search still
# refuses to run, and its finder helper, where built, searches) show that name without a byte that
# could steer the terminal, the Japanese as it is.
#
#   discover_terminal_text_test.sh SEEKWELL-DISCOVER SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
source "$(dirname "$0")/../support/terminal_text_check.sh"
discover=$1
simulator=$2

readonly DEVICES=4
readonly NOT_A_ROBOT=3
readonly ODD_NAME=2
# How the odd name ends: Japanese and the device's number, which no check may turn into '?'.
readonly ODD_NAME_END='"q" \ ロボ 2'
readonly ROBOTS=$((DEVICES - 1))
readonly NO_ROUTE_STATUS=3

e2e_require_lan
simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1
simlan_start_sim "$simulator" --robots $DEVICES --fault $NOT_A_ROBOT:no-marker --fault $ODD_NAME:odd-name \
    "${E2E_SIM_LIFETIME[@]}" || exit 1
odd_address=$(simlan_device_address $ODD_NAME)

# run_discover NAME ARGS...: the tool on the client, its output in $E2E_WORK/NAME.out and .err;
# returns its exit status.
run_discover() {
    local name=$1
    shift
    simlan_client env LANG=C.UTF-8 LC_ALL=C.UTF-8 timeout 60 "$discover" "$@" \
        >"$E2E_WORK/$name.out" 2>"$E2E_WORK/$name.err"
    local status=$?
    cat "$E2E_WORK/$name.out"
    cat "$E2E_WORK/$name.err" >&2
    return $status
}

# expect_odd_name_shown WHAT NAME LINE-START: the odd robot's line, starting so, keeps the rule and
# ends its name as sent.
expect_odd_name_shown() {
    local what=$1 out="$E2E_WORK/$2.out"
    expect_terminal_text "$what" "$out"
    expect_equal "$what: the odd robot's line" "$(grep -E "$3" "$out" | grep -F "$odd_address" |
        grep -cF "$ODD_NAME_END")" 1
}

run_discover table
expect_equal "table: exit status" "$?" 0
expect_equal "table: rows" "$(grep -c '^[0-9] ' "$E2E_WORK/table.out")" $ROBOTS
expect_odd_name_shown "table" table '^[0-9] '

run_discover live --live
expect_equal "live: exit status" "$?" 0
expect_equal "live: the end" "$(tail -n 1 "$E2E_WORK/live.out")" "$ROBOTS robot(s) found"
expect_odd_name_shown "live" live '^robot '

# The client without its multicast route: the live search sets the interface of each socket.
simlan_ip "$SIMLAN_CLIENT_NS" route del "$SIMLAN_MULTICAST_ROUTE" dev "$SIMLAN_CLIENT_IF" || exit 1
run_discover live-no-route --live
expect_equal "live without a route: exit status" "$?" 0
expect_equal "live without a route: the end" "$(tail -n 1 "$E2E_WORK/live-no-route.out")" \
    "$ROBOTS robot(s) found"
expect_odd_name_shown "live without a route" live-no-route '^robot '

# The blocking call: its built-in search (the library copied alone) sends by route and is not made;
# the finder helper beside the library as built sets its sockets' interfaces itself.
library=$(ldd "$discover" | awk '/libseekwell\.so/ { print $3 }')
mkdir -p "$E2E_WORK/alone"
cp -P "$(dirname "$library")"/libseekwell.so* "$E2E_WORK/alone/"
LD_LIBRARY_PATH=$E2E_WORK/alone run_discover table-no-route
expect_equal "table without a route: exit status" "$?" $NO_ROUTE_STATUS
expect_equal "table without a route" "$(cat "$E2E_WORK/table-no-route.out")" "No robot found."
expect_true "table without a route: the warning" grep -q "no route to the multicast group" \
    "$E2E_WORK/table-no-route.err"
if [ -x "$(dirname "$library")/seekwell/seekwell-finder-gupnp" ]; then
    run_discover finder-no-route
    expect_equal "finder path without a route: exit status" "$?" 0
    expect_equal "finder path without a route: rows" "$(grep -c '^[0-9] ' "$E2E_WORK/finder-no-route.out")" $ROBOTS
    expect_terminal_text "finder path without a route" "$E2E_WORK/finder-no-route.out"
    expect_equal "finder path without a route: no warning" "$(cat "$E2E_WORK/finder-no-route.err")" ""
fi
e2e_finish
