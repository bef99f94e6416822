#!/usr/bin/env bash
# The installed seekwell-discover with the library copied alone beside it (built-in search), on a
# simulated LAN with more robots than a search can report, run on a terminal.
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
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS "${E2E_SIM_LIFETIME[@]}" || exit 1

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

e2e_finish
