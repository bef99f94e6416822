#!/usr/bin/env bash
# The installed seekwell-discover with the library copied alone beside it (built-in search), on a
# simulated LAN with more robots than a search can report, run on a terminal; then its live modes,
# where the last robot lacks the marker.
#
#   discover_tool_test.sh INSTALL-PREFIX
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
prefix=$1
e2e_require_lan

readonly REPORTED_AT_MOST=16
readonly ROBOTS=$((REPORTED_AT_MOST + 2))

# The tool finds its library through $ORIGIN/../<libdir>; rebuild that layout without a finder helper.
tool=$(find "$prefix" -name seekwell-discover -type f | head -n 1)
library=$(find "$prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)
libdir=$(dirname "${library#"$prefix"/}")
copy="$E2E_WORK/alone"
mkdir -p "$copy/bin"
cp "$tool" "$copy/bin/"
e2e_copy_library_alone "$prefix" "$copy/$libdir" || exit 1


simlan_create "$E2E_LAN_NAME" $ROBOTS || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS --fault "$ROBOTS:no-marker" \
    "${E2E_SIM_LIFETIME[@]}" || exit 1

# On a terminal the tool counts the window down on stderr: script(1) lends it one, while its
# standard output goes to a file.
run_tool="$(printf '%q ' "$copy/bin/seekwell-discover" --json)>$(printf '%q' "$E2E_WORK/out.json")"
simlan_client script -q -e -c "$run_tool" "$E2E_WORK/terminal.txt" </dev/null >/dev/null
expect_equal "exit status after a search" "$?" 0
cat "$E2E_WORK/out.json"
expect_true "countdown from 10 s on the terminal" grep -q 'Searching for robots: 10 s left' "$E2E_WORK/terminal.txt"
expect_true "countdown down to 1 s on the terminal" grep -q 'Searching for robots:  1 s left' "$E2E_WORK/terminal.txt"
expect_true "a full report says there may be more" \
    grep -q 'seekwell-discover: 16 robots reported, the most one search returns; there may be more on the network.' \
    "$E2E_WORK/terminal.txt"

expected="{\"count\": $REPORTED_AT_MOST, \"robots\": ["
for ((i = 0; i < REPORTED_AT_MOST; i++)); do
    [ $i -gt 0 ] && expected+=", "
    expected+="{\"index\": $i, \"name\": \"ROVA robot $((i + 1))\", \"address\": \"$(simlan_device_address $((i + 1)))\"}"
done
expected+="]}"
expect_equal "JSON output (the 17th and 18th robots dropped)" "$(cat "$E2E_WORK/out.json")" "$expected"

# Live: no limit of 16, the robot left out and why, and which way the blocking call would go.
simlan_client "$copy/bin/seekwell-discover" --explain --json >"$E2E_WORK/live.json"
expect_equal "exit status of a live search" "$?" 0
live_robots=$((ROBOTS - 1))
expect_equal "the blocking call's path, first" "$(head -n 1 "$E2E_WORK/live.json")" \
    '{"event": "path", "blocking_call": "built-in"}'
expect_equal "robots as they answered" "$(grep -c '^{"event": "robot", ' "$E2E_WORK/live.json")" $live_robots
expect_true "the robot without the marker, left out" grep -qF \
    "{\"event\": \"skipped\", \"address\": \"$(simlan_device_address $ROBOTS)\", " "$E2E_WORK/live.json"
expect_equal "the end" "$(tail -n 1 "$E2E_WORK/live.json")" \
    "{\"event\": \"done\", \"reason\": \"window-over\", \"count\": $live_robots}"

# A watch ends cleanly at Ctrl-C, with the robots that were answering.
simlan_client timeout --preserve-status -s INT 3 "$copy/bin/seekwell-discover" --watch >"$E2E_WORK/watch.txt"
expect_equal "exit status of a watch stopped by Ctrl-C" "$?" 0
expect_equal "a watch's robots" "$(grep -c '^robot    ' "$E2E_WORK/watch.txt")" $live_robots
expect_equal "a watch's end" "$(tail -n 1 "$E2E_WORK/watch.txt")" "$live_robots robot(s) found"

simlan_client "$copy/bin/seekwell-discover" --interface no-such-if0 2>"$E2E_WORK/bad-interface.txt"
expect_equal "exit status for an unknown interface" "$?" 1
expect_true "an unknown interface named, with those there are" \
    grep -q "^seekwell-discover: no interface named 'no-such-if0'; interfaces here: " \
    "$E2E_WORK/bad-interface.txt"

e2e_finish
