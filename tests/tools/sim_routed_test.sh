#!/usr/bin/env bash
# The simulator as a client that names robots' addresses sees it, one router away: a search sent
# to one robot's address is answered by that robot alone, from that address; a multicast one stays
# on the client's LAN; a robot that answers no search still serves its description.
#
#   sim_routed_test.sh SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
simulator=$1
e2e_require_lan

readonly ROUTED_ROBOTS=3
readonly SILENT_ROBOT=3
readonly FETCH_LIMIT_S=3

simlan_create "$E2E_LAN_NAME" 1 || exit 1
local_robot=$(simlan_device_address 1)
simlan_start_sim "$simulator" --robots 1 --log "$E2E_WORK/local.log" "${E2E_SIM_LIFETIME[@]}" || exit 1
simlan_start_routed_sim $ROUTED_ROBOTS "$simulator" --robots $ROUTED_ROBOTS --fault $SILENT_ROBOT:no-ssdp \
    --log "$E2E_WORK/routed.log" "${E2E_SIM_LIFETIME[@]}" || exit 1
routed() { simlan_routed_device_address "$1"; }

# Where the search goes, and who answers: the LAN's own robot hears the group, a routed robot
# only its own address; broadcasts and addresses that are no robot's get no answer.
while read -r destination answering; do
    # shellcheck disable=SC2086 # one argument per answering robot
    expect_equal "replies to a search sent to $destination" "$(ssdp_replies_to "$destination")" \
        "$(ssdp_replies_from $answering)"
done <<TABLE
239.255.255.250 $local_robot
$(routed 1) $(routed 1)
$(routed 2) $(routed 2)
$(routed $SILENT_ROBOT)
$SIMLAN_ROBOT_HOST_ADDRESS
$SIMLAN_DEVICE_NET.255
TABLE

# Each simulator heard exactly the searches meant to reach it: the multicast one never crossed.
expect_equal "searches the routed robots heard" "$(grep -c "^ssdp from=$SIMLAN_CLIENT_ADDRESS:" "$E2E_WORK/routed.log")" 3
expect_equal "searches the LAN's robot heard" "$(grep -c "^ssdp from=$SIMLAN_CLIENT_ADDRESS:" "$E2E_WORK/local.log")" 3

expect_true "the silent robot serves its description" grep -q "<friendlyName>ROVA robot $SILENT_ROBOT</friendlyName>" \
    <(simlan_client curl -sS --max-time $FETCH_LIMIT_S "http://$(routed $SILENT_ROBOT)/ROVA.XML")

# The LAN's cleanup ends the routed simulator, and with it the only hold on the subnet's namespace.
simlan_destroy
expect_equal "routed simulators left after the cleanup" "$(pgrep -fc -- "--log $E2E_WORK/routed.log")" 0

e2e_finish
