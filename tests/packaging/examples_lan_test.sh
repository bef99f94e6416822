#!/usr/bin/env bash
# One example host, run on a private LAN of its own against simulated robots: every robot listed
# and the responder without the robot marker left out, then the search ended the way the example
# ends it (the blocking call's window; the live search's window, Ctrl-C through a GCancellable,
# the Stop button), the host quitting cleanly within moments of that. Nothing of a robot's odd
# name may steer the terminal, and its Japanese shows as itself.
#
#   examples_lan_test.sh EXAMPLE PROGRAM SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
source "$(dirname "$0")/../support/terminal_text_check.sh"
example=$1
program=$2
simulator=$3

readonly DEVICES=4
readonly NOT_A_ROBOT=3
# Its name carries invalid UTF-8, an escape sequence and DEL, each bad byte shown as '?', then
# Japanese and the device's number, shown as they are.
readonly ODD_NAME=2
readonly ODD_NAME_END='"q" \ ロボ 2'
readonly RUN_S=3
# The blocking call's window; its fetches on this LAN take moments.
readonly BLOCKING_S=10
# From the end of the window or the stop to the exit: DONE comes within 50 ms of a cancel; the
# rest is the host's own start and shutdown, slower under sanitizers.
readonly EXIT_WITHIN_S=3

# example: how it is run and for how long, how its robot lines start, and the end of the search
# it reports (none for the blocking call)
live_line='robot  '
blocking_line=' [0-9]  '
case $example in
c-poll) run=("$program" "$RUN_S") run_s=$RUN_S robot_line=$live_line end="window over" ;;
glib-live)
    run=(timeout --signal=INT --preserve-status "$RUN_S" "$program") run_s=$RUN_S robot_line=$live_line end=cancelled
    ;;
qt-live) run=("$program" --stop-after "$RUN_S") run_s=$RUN_S robot_line=$live_line end=cancelled ;;
c-discover | glib-worker) run=("$program") run_s=$BLOCKING_S robot_line=$blocking_line end= ;;
*)
    echo "unknown example '$example'" >&2
    exit 1
    ;;
esac
# Past this the host is killed: whatever it did, the test ends.
readonly KILL_AFTER_S=$((run_s + EXIT_WITHIN_S + 10))

e2e_require_lan
simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1
simlan_start_sim "$simulator" --robots $DEVICES --fault $NOT_A_ROBOT:no-marker --fault $ODD_NAME:odd-name \
    "${E2E_SIM_LIFETIME[@]}" || exit 1

# No display: Qt draws off screen, and keeps its run-time files in the work folder. A UTF-8
# locale, as a host developer's terminal has.
started=$(date +%s%N)
simlan_client env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$E2E_WORK" LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    timeout --kill-after=2 $KILL_AFTER_S "${run[@]}" >"$E2E_WORK/out" 2>"$E2E_WORK/err"
status=$?
took_ms=$((($(date +%s%N) - started) / 1000000))
cat "$E2E_WORK/out"
cat "$E2E_WORK/err" >&2

expect_equal "$example: exit status" "$status" 0
expect_true "$example: exits within ${EXIT_WITHIN_S}s of the end (took ${took_ms} ms)" \
    test $took_ms -le $(((run_s + EXIT_WITHIN_S) * 1000))
expected=$(for ((i = 1; i <= DEVICES; ++i)); do
    [ $i -ne $NOT_A_ROBOT ] && simlan_device_address $i
done | sort)
expect_equal "$example: robots listed" "$(sed -n "s/^$robot_line.* //p" "$E2E_WORK/out" | sort)" "$expected"
expect_terminal_text "$example" "$E2E_WORK/out"
expect_equal "$example: the odd name's line" "$(grep "^$robot_line" "$E2E_WORK/out" |
    grep -cF "$ODD_NAME_END  $(simlan_device_address $ODD_NAME)")" 1
expect_equal "$example: the end" "$(sed -n 's/^done   //p' "$E2E_WORK/out")" "$end"
expect_equal "$example: the count" "$(grep -x '[0-9]* robot(s) found' "$E2E_WORK/out")" \
    "$((DEVICES - 1)) robot(s) found"
if [ -n "$end" ]; then
    expect_equal "$example: the last line" "$(tail -n 1 "$E2E_WORK/out")" "$((DEVICES - 1)) robot(s) found"
fi
e2e_finish
