#!/usr/bin/env bash
# One example host of the live search, run on a private LAN of its own against simulated robots:
# every robot listed and the responder without the robot marker left out, then the search ended
# the way the example ends it (its window, Ctrl-C through a GCancellable, the Stop button), the
# host quitting cleanly within moments of that.
#
#   examples_lan_test.sh EXAMPLE PROGRAM SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
example=$1
program=$2
simulator=$3

readonly DEVICES=4
readonly NOT_A_ROBOT=3
# Its name carries invalid UTF-8, an escape sequence and DEL: none may reach the terminal.
readonly ODD_NAME=2
readonly RUN_S=3
# From the end of the window or the stop to the exit: DONE comes within 50 ms of a cancel; the
# rest is the host's own start and shutdown, slower under sanitizers.
readonly EXIT_WITHIN_S=3
# Past this the host is killed: whatever it did, the test ends.
readonly KILL_AFTER_S=$((RUN_S + EXIT_WITHIN_S + 10))

# example: how it is run, and the end of the search it reports
case $example in
c-poll) run=("$program" "$RUN_S") end="window over" ;;
glib-live) run=(timeout --signal=INT --preserve-status "$RUN_S" "$program") end=cancelled ;;
qt-live) run=("$program" --stop-after "$RUN_S") end=cancelled ;;
*)
    echo "unknown example '$example'" >&2
    exit 1
    ;;
esac

e2e_require_lan
simlan_create "$E2E_LAN_NAME" $DEVICES || exit 1
simlan_start_sim "$simulator" --robots $DEVICES --fault $NOT_A_ROBOT:no-marker --fault $ODD_NAME:odd-name \
    "${E2E_SIM_LIFETIME[@]}" || exit 1

# No display: Qt draws off screen, and keeps its run-time files in the work folder.
started=$(date +%s%N)
simlan_client env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$E2E_WORK" \
    timeout --kill-after=2 $KILL_AFTER_S "${run[@]}" >"$E2E_WORK/out" 2>"$E2E_WORK/err"
status=$?
took_ms=$((($(date +%s%N) - started) / 1000000))
cat "$E2E_WORK/out"
cat "$E2E_WORK/err" >&2

expect_equal "$example: exit status" "$status" 0
expect_true "$example: exits within ${EXIT_WITHIN_S}s of the end (took ${took_ms} ms)" \
    test $took_ms -le $(((RUN_S + EXIT_WITHIN_S) * 1000))
expected=$(for ((i = 1; i <= DEVICES; ++i)); do
    [ $i -ne $NOT_A_ROBOT ] && simlan_device_address $i
done | sort)
expect_equal "$example: robots listed" "$(sed -n 's/^robot .* //p' "$E2E_WORK/out" | sort)" "$expected"
expect_equal "$example: lines with control characters" "$(grep -c $'[\x01-\x08\x0b-\x1f\x7f]' "$E2E_WORK/out")" 0
expect_equal "$example: the end" "$(sed -n 's/^done   //p' "$E2E_WORK/out")" "$end"
expect_equal "$example: the last line" "$(tail -n 1 "$E2E_WORK/out")" "$((DEVICES - 1)) robot(s) found"
e2e_finish
