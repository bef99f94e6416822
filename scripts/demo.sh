#!/usr/bin/env bash
# Demo: builds the project, then runs seekwell-discover on a private simulated LAN (two network
# namespaces joined by a veth pair) where three simulated robots answer. Run as root.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$ROOT/tests/support/private_lan.sh"

readonly DEMO_ROBOTS=3

ensure_packages
configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
simlan_can_run || exit 1

trap simlan_destroy EXIT
trap 'exit 1' INT TERM
simlan_create "seekwell-demo-$$" $DEMO_ROBOTS
simlan_start_sim "$ROOT/build/tools/robot-sim/seekwell-robot-sim" --robots $DEMO_ROBOTS

echo "Simulated robots at $(simlan_device_address 1) to $(simlan_device_address $DEMO_ROBOTS)."
echo "Running seekwell-discover on the client side (a search takes 10 seconds)..."
simlan_client "$ROOT/build/tools/seekwell-discover/seekwell-discover"
