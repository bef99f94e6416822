#!/usr/bin/env bash
# The live search's targets and its quiet interfaces through the installed library, on a private
# LAN with a router between the client and a routed subnet of robots (no multicast forwarding):
# a robot found by its address, a range swept, a robot that answers no SSDP at all, the robot on
# the client's own LAN beside them, a quiet LAN and one of devices that are no robots, bad
# targets, a sweep of 4096 addresses and a cancel while it sweeps, a watch of a target that a
# byebye forged on the LAN in its name leaves alone, a robot asked after 4093 addresses where
# nothing answers, the tool and Python.
#
#   targets_lan_test.sh INSTALL-PREFIX LIVE-HOST FORGER
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
forger=$3
e2e_require_lan

readonly ROUTED_ROBOTS=4
readonly SILENT_ROBOT=3 # answers no search; serves its description
readonly NOT_A_ROBOT=4
# A robot named by its address is reported within this of the start; a swept /24 within RANGE_MS.
readonly ADDRESS_MS=1000
readonly RANGE_MS=3000
readonly QUIET_MS=2500
readonly CANCEL_LIMIT_MS=50
readonly WINDOW_MS=4000
readonly SWEEP_WINDOW_MS=7000
# The host's CPU for a whole 4096-address sweep: a thread per target, or a busy loop, takes far more.
readonly SWEEP_CPU_LIMIT_MS=1500
readonly WATCH_PERIOD_MS=1000
readonly BYEBYE_WATCH_MS=3000
readonly BYEBYE_GONE_MS=500
# Nothing answers there; with the target robot, the LAN's robot and its other device, as many
# responders as a search holds.
readonly SILENT_BLOCK=198.18.16.0/20
readonly SILENT_ADDRESSES=4093
readonly LAST_TARGET_MS=20000
# Simulators outlive every case, the watches too, and end by themselves within the test's time.
readonly SIM_LIFETIME=(--duration 170)

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
live() { LD_LIBRARY_PATH="$alone" simlan_client "$host" "$@"; }
events() { grep -E "^$1 " "$2" | cut -d' ' -f3- | sort; }
robot_addresses() { grep '^ROBOT ' "$1" | awk '{ print $(NF - 2) }' | sort; }
ms_of() { grep "^ROBOT .* $2 http" "$1" | sed 's/^ROBOT +\([0-9]*\) .*/\1/'; }
done_of() { grep '^DONE ' "$1" | cut -d' ' -f3-; }
check_left() { expect_equal "$1: left behind" "$(e2e_value "$2" left)" "threads=0 descriptors=0"; }

simlan_create "$E2E_LAN_NAME" 2 || exit 1
local_robot=$(simlan_device_address 1)
routed() { simlan_routed_device_address "$1"; }
routed_block="$(routed 1 | cut -d. -f1-3).0/24"

# 1. Before any device runs: the LAN is quiet, told once within the round, and DONE says so.
live events 3000 >"$E2E_WORK/quiet.out" 2>&1
cat "$E2E_WORK/quiet.out"
expect_equal "quiet LAN: QUIET" "$(grep '^QUIET ' "$E2E_WORK/quiet.out" | cut -d' ' -f3)" "$SIMLAN_CLIENT_IF"
quiet_ms=$(grep '^QUIET ' "$E2E_WORK/quiet.out" | sed 's/^QUIET +\([0-9]*\) .*/\1/')
expect_true "quiet LAN: told within the round (${quiet_ms:-never} ms)" test "${quiet_ms:-99999}" -le $QUIET_MS
expect_equal "quiet LAN: the end" "$(done_of "$E2E_WORK/quiet.out")" '1 0 "window over; no device answered"'
LD_LIBRARY_PATH="$alone" simlan_client "$prefix/bin/seekwell-discover" --explain >"$E2E_WORK/quiet-tool.out" 2>&1
expect_true "quiet LAN: seekwell-discover --explain names the interface and the way out" \
    grep -q "^quiet    $SIMLAN_CLIENT_IF .*no device answered.*target" "$E2E_WORK/quiet-tool.out"

# The LAN's own robot and a device that is none; robots one router away, one of them silent.
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots 1 --others 1 "${SIM_LIFETIME[@]}" || exit 1
simlan_start_routed_sim $ROUTED_ROBOTS "$prefix/bin/seekwell-robot-sim" --robots $((ROUTED_ROBOTS - 1)) \
    --others 1 --fault $SILENT_ROBOT:no-ssdp --log "$E2E_WORK/routed.log" "${SIM_LIFETIME[@]}" || exit 1

# 2. Without targets: multicast crosses no router; devices that are no robots make no QUIET.
live events $WINDOW_MS >"$E2E_WORK/plain.out" 2>&1
expect_equal "no targets: the LAN's robot only" "$(robot_addresses "$E2E_WORK/plain.out")" "$local_robot"
expect_equal "no targets: no QUIET beside a device that answers" "$(grep -c '^QUIET ' "$E2E_WORK/plain.out")" 0

# 3. One table of targets: what each finds beside the LAN's own robot.
while IFS='|' read -r what targets expected limit; do
    out="$E2E_WORK/case-$(tr -c 'a-z0-9\n' - <<<"$what").out"
    # shellcheck disable=SC2086 # one argument per target
    live targets $WINDOW_MS $targets >"$out" 2>&1
    cat "$out"
    expect_equal "$what: robots" "$(robot_addresses "$out")" "$(tr ' ' '\n' <<<"$local_robot $expected" | sort)"
    for address in $expected; do
        took=$(ms_of "$out" "$address")
        expect_true "$what: $address within $limit ms (${took:-never})" test "${took:-99999}" -le "$limit"
    done
    expect_equal "$what: the end" "$(done_of "$out")" '1 0 "window over"'
    expect_equal "$what: no QUIET" "$(grep -c '^QUIET ' "$out")" 0
    check_left "$what" "$out"
done <<TABLE
a robot by its address|$(routed 1)|$(routed 1)|$ADDRESS_MS
a robot that answers no SSDP, by its address|$(routed $SILENT_ROBOT)|$(routed $SILENT_ROBOT)|$ADDRESS_MS
a routed range, swept|$routed_block|$(routed 1) $(routed 2)|$RANGE_MS
a range and an address|$routed_block $(routed $SILENT_ROBOT)|$(routed 1) $(routed 2) $(routed $SILENT_ROBOT)|$RANGE_MS
TABLE
expect_equal "an address that is no robot's is told why" \
    "$(grep '^SKIPPED ' "$E2E_WORK/case-a-range-and-an-address.out" | cut -d' ' -f3 | sort -u | grep -c "^$(routed $NOT_A_ROBOT)$")" \
    1

# 4. Bad targets: nothing starts.
for bad in robot.local 198.19.0.0/19 198.19.5 127.0.0.1 239.255.255.250 "198.19.0.0/20 198.18.0.1"; do
    # shellcheck disable=SC2086 # one argument per target
    live targets 1000 $bad >"$E2E_WORK/bad.out" 2>&1
    expect_equal "bad target '$bad'" "$(grep '^start failed' "$E2E_WORK/bad.out")" "start failed -22"
done

# 5. A sweep of 4096 addresses: the robots in it found, little CPU, nothing left; a cancel while
#    it sweeps acts at once.
live targets $SWEEP_WINDOW_MS 198.19.0.0/20 >"$E2E_WORK/sweep.out" 2>&1
grep -v '^SKIPPED' "$E2E_WORK/sweep.out"
expect_equal "sweep of a /20: robots" "$(robot_addresses "$E2E_WORK/sweep.out")" \
    "$(tr ' ' '\n' <<<"$local_robot $(routed 1) $(routed 2)" | sort)"
cpu=$(e2e_value "$E2E_WORK/sweep.out" cpu_ms)
expect_true "sweep of a /20: the host's CPU (${cpu:-?} ms)" test "${cpu:-99999}" -le $SWEEP_CPU_LIMIT_MS
check_left "sweep of a /20" "$E2E_WORK/sweep.out"
live targets-cancel 1500 198.19.0.0/20 >"$E2E_WORK/sweep-cancel.out" 2>&1
took=$(e2e_value "$E2E_WORK/sweep-cancel.out" cancel_to_done_ms)
expect_true "cancel while sweeping: DONE ${took:-never} ms after" test "${took:-999}" -le $CANCEL_LIMIT_MS
check_left "cancel while sweeping" "$E2E_WORK/sweep-cancel.out"

# 6. A watch of a robot beyond the router: a byebye in its name, forged from its address as
#    multicast on the client's LAN, where that address cannot be, leaves it; the same from the LAN
#    robot's own address, in its name, takes that one at once (the forger's byebye is heard).
out="$E2E_WORK/byebye.out"
started=$(date +%s%N)
live watch $WATCH_PERIOD_MS $BYEBYE_WATCH_MS "$(routed 1)" >"$out" 2>&1 &
watcher=$!
udn_at() { grep -m1 "^UDN $1 " "$out" | cut -d' ' -f3; }
for _ in $(seq 30); do
    [ -n "$(udn_at "$(routed 1)")" ] && [ -n "$(udn_at "$local_robot")" ] && break
    sleep 0.1
done
forge_byebye() { # forge_byebye SOURCE UDN NAME
    simlan_robots "$forger" --interface "$SIMLAN_ROBOT_IF" --lifetime 5 --notify byebye --source "$1" \
        --usn "${2:-none}::upnp:rootdevice" --report "$E2E_WORK/$3.report" >/dev/null 2>&1
    expect_equal "$3: byebyes forged" "$(e2e_value "$E2E_WORK/$3.report" forged_notifies)" 1
}
forge_byebye "$(routed 1)" "$(udn_at "$(routed 1)")" byebye-target
sleep 0.5
forged_ms=$((($(date +%s%N) - started) / 1000000))
forge_byebye "$local_robot" "$(udn_at "$local_robot")" byebye-local
wait $watcher
grep -v '^SKIPPED' "$out"
expect_equal "forged byebye beyond the router: the target's ROBOT and GONE events" \
    "$(grep -c "^ROBOT .* $(routed 1) http" "$out") $(grep -c "^GONE .* $(routed 1) http" "$out")" "1 0"
gone=$(grep "^GONE .* $local_robot http" "$out" | head -n 1 | sed 's/^GONE +\([0-9]*\) .*/\1/')
expect_true "forged byebye from the LAN robot's address: GONE at ${gone:-never} ms, forged at $forged_ms ms" \
    test -n "$gone" -a "$((${gone:-0} - forged_ms))" -le $BYEBYE_GONE_MS

# 7. A watch asking 4093 addresses where nothing answers, then a robot (targets are asked in
#    address order): the robot is reported within 20 s all the same.
simlan_add_silent_network $SILENT_BLOCK || exit 1
silent_base=$(cut -d. -f1-2 <<<"$SILENT_BLOCK")
silent_third=$(cut -d. -f3 <<<"$SILENT_BLOCK")
out="$E2E_WORK/last-target.out"
# shellcheck disable=SC2046 # one argument per target
live watch $WATCH_PERIOD_MS $((LAST_TARGET_MS + 1000)) $(awk -v n=$SILENT_ADDRESSES -v base="$silent_base" \
    -v third="$silent_third" 'BEGIN { for (i = 1; i <= n; ++i) printf "%s.%d.%d\n", base, third + int(i / 256), i % 256 }') \
    "$(routed 1)" >"$out" 2>&1
grep -v '^SKIPPED' "$out"
echo "last target: $(grep -c '^SKIPPED ' "$out") SKIPPED events, by reason:" \
    "$(grep '^SKIPPED ' "$out" | cut -d' ' -f4 | sort -n | uniq -c | tr -s ' \n' ' ')"
took=$(ms_of "$out" "$(routed 1)")
expect_true "a robot asked after $SILENT_ADDRESSES silent addresses: reported at ${took:-never} ms" \
    test "${took:-99999}" -le $LAST_TARGET_MS

# 8. The tool: --probe implies the live search, takes ranges and refuses what is no target.
LD_LIBRARY_PATH="$alone" simlan_client "$prefix/bin/seekwell-discover" --json --probe "$(routed 1)" \
    --probe "$(routed $SILENT_ROBOT)" >"$E2E_WORK/tool.out" 2>&1
expect_equal "seekwell-discover --probe: robots" \
    "$(python3 -c 'import json, sys
print("\n".join(sorted(e["address"] for e in map(json.loads, open(sys.argv[1])) if e["event"] == "robot")))' \
        "$E2E_WORK/tool.out")" "$(tr ' ' '\n' <<<"$local_robot $(routed 1) $(routed $SILENT_ROBOT)" | sort)"
LD_LIBRARY_PATH="$alone" simlan_client "$prefix/bin/seekwell-discover" --probe robot.local >/dev/null 2>&1
expect_equal "seekwell-discover --probe robot.local: exit status" "$?" 1

# 9. Python's command line over the same installed library (the package from the source tree);
#    Python cannot load a sanitized library, so a sanitized build leaves it to the plain one.
if [ -n "${SEEKWELL_SANITIZED:-}" ]; then
    echo "note: sanitized library: the Python case runs in the plain build"
    e2e_finish
    exit
fi
LD_LIBRARY_PATH="$alone" PYTHONPATH="$E2E_DIR/../../python/src" simlan_client /usr/bin/python3 -m seekwell --json \
    --probe "$(routed $SILENT_ROBOT)" >"$E2E_WORK/python.out" 2>&1
expect_true "python3 -m seekwell --probe finds the silent robot" \
    grep -q "\"address\": \"$(routed $SILENT_ROBOT)\"" "$E2E_WORK/python.out"
e2e_finish
