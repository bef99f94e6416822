#!/usr/bin/env bash
# Two simulators on one wide LAN (a /21 whose neighbours the client knows beforehand), as a client
# sees them: a search sent to the group is answered by every device of both, each from its own
# address; one sent to a device's address by that device alone, whichever simulator holds it, its
# address in the subnet's first /24 or past it. No address is resolved on the way.
#
#   sim_subnet_test.sh SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
simulator=$1
e2e_require_lan

readonly SUBNET=198.18.8.0/21
readonly FIRST_ROBOTS=2
# From device 3 on, past the subnet's first /24.
readonly SECOND_ROBOTS=300
readonly DEVICES=$((FIRST_ROBOTS + SECOND_ROBOTS))

simlan_create_subnet "$E2E_LAN_NAME" $SUBNET $DEVICES || exit 1
simlan_pin_neighbours || exit 1
simlan_start_sim "$simulator" --robots $FIRST_ROBOTS --log "$E2E_WORK/first.log" "${E2E_SIM_LIFETIME[@]}" || exit 1
# The second binds the SSDP port last: before each device had a socket of its own, it took every
# search sent to an address.
simlan_start_more_sim $((FIRST_ROBOTS + 1)) "$simulator" --robots $SECOND_ROBOTS --log "$E2E_WORK/second.log" \
    "${E2E_SIM_LIFETIME[@]}" || exit 1

expect_equal "the client's address" "$SIMLAN_CLIENT_ADDRESS" 198.18.8.1
expect_equal "the last device's address" "$(simlan_device_address $DEVICES)" 198.18.9.55
# shellcheck disable=SC2046 # one argument per device
expect_equal "replies to a search sent to the group" "$(ssdp_replies_to 239.255.255.250)" \
    "$(ssdp_replies_from $(simlan_device_addresses $DEVICES))"
for device in 1 $FIRST_ROBOTS $((FIRST_ROBOTS + 1)) $DEVICES; do
    address=$(simlan_device_address $device)
    expect_equal "replies to a search sent to device $device" "$(ssdp_replies_to "$address")" "$(ssdp_replies_from "$address")"
done
for log in first second; do
    expect_equal "searches the $log simulator heard" "$(grep -c "^ssdp from=$SIMLAN_CLIENT_ADDRESS:" "$E2E_WORK/$log.log")" 3
done

expect_equal "permanent neighbours of the client" "$(simlan_client ip neigh show nud permanent | wc -l)" $((DEVICES + 1))
expect_equal "neighbours the client resolved" "$(simlan_client ip neigh show | grep -vc PERMANENT)" 0
expect_true "a device past the first /24 serves its description" grep -q "<friendlyName>ROVA robot $SECOND_ROBOTS<" \
    <(simlan_client curl -sS --max-time 3 "http://$(simlan_device_address $DEVICES)/ROVA.XML")

e2e_finish
