#!/usr/bin/env bash
# The installed libseekwell, with its finder helper beside it, searching a private simulated LAN:
#
#   finder  the finder path, twice in one process, with a device whose description server never
#           answers and one whose description is broken XML full of terminal escape codes: each
#           search ends soon after its window, prints nothing, starts no thread that could take
#           a host signal and opens no inheritable descriptor; the host's proxy settings are
#           ignored, and nothing of the first search is left running or open
#   soup2   a process that already holds the older HTTP library takes the finder path all the
#           same: the newer one is loaded only in the helper's process
#
# The library copied alone takes the built-in search too: e2e.builtin_path shows that.
#
#   finder_lan_test.sh CASE INSTALL-PREFIX SEARCH-PROBE FAKE-SOUP2
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
case=$1
prefix=$2
probe=$3
fake_soup2=$4
e2e_require_lan

readonly SEARCH_WINDOW_MS=10000
# The finder's window starts with its first network context in the helper.
readonly FINDER_ALLOWANCE_MS=1000
readonly UNREACHABLE_PROXY=http://192.0.2.99:3128
# Robots 1 and 3 are plain, 2 shows its page elsewhere, 4 names no page, 5 answers its description
# request with an error status (GUPnP retries such fetches); then one device that is no robot.
readonly ROBOTS=5
readonly OTHERS=1
# After them, on addresses of their own, the hostile devices of the finder case.
source "$(dirname "$0")/hostile_devices.sh"
readonly HOSTILE_LIFETIME_S=60
# What the finder path yields, sorted, by the host text of the presentation URL: robot 2's port
# and path show it. Not the robot without a page, not the one whose description came with an
# error, not the media player.
readonly FINDER_ROBOTS="ROVA robot 1@192.0.2.10
ROVA robot 2@192.0.2.11:8080/app
ROVA robot 3@192.0.2.12"

library=$(find "$prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)
helper="$(dirname "$library")/seekwell/seekwell-finder-gupnp"
expect_true "helper installed beside the library and executable" test -f "$helper" -a -x "$helper"
simlan_create "$E2E_LAN_NAME" $((ROBOTS + OTHERS + ${#HOSTILE_MODES[@]})) || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS --others $OTHERS \
    --fault 2:page-elsewhere --fault 4:no-page --fault 5:error-status "${E2E_SIM_LIFETIME[@]}" || exit 1

# run_probe SEARCHES [LIBRARY-TO-LOAD-FIRST]: the probe's report in $E2E_WORK/probe.out, what it
# wrote to stderr in $E2E_WORK/probe.err.
run_probe() {
    http_proxy=$UNREACHABLE_PROXY HTTP_PROXY=$UNREACHABLE_PROXY \
        simlan_client "$probe" "$library" "$@" >"$E2E_WORK/probe.out" 2>"$E2E_WORK/probe.err"
    expect_equal "probe exit status (sanitizers report through it)" "$?" 0
    cat "$E2E_WORK/probe.out"
    cat -v "$E2E_WORK/probe.err" >&2
}

# Records of search N (from 1), sorted: the finder yields them in the order their fetches ended.
records_of_search() {
    awk -v n="$1" '/^search / { k++ } k == n && /^record / { print substr($0, 8) }' "$E2E_WORK/probe.out" | sort
}

# expect_search N RESULT ALLOWANCE-MS
expect_search() {
    local fields elapsed
    read -r -a fields <<<"$(grep '^search ' "$E2E_WORK/probe.out" | sed -n "$1p")"
    elapsed=${fields[2]:-0}
    expect_equal "result of search $1" "${fields[1]:-}" "$2"
    expect_true "search $1 lasted the whole window ($elapsed ms)" test "$elapsed" -ge $SEARCH_WINDOW_MS
    expect_true "search $1 ended soon after the window ($elapsed ms)" test "$elapsed" -lt $((SEARCH_WINDOW_MS + $3))
}

case $case in
finder)
    hostile_devices_start $((ROBOTS + OTHERS + 1)) $HOSTILE_LIFETIME_S
    run_probe 2
    expect_equal "bytes the searches wrote to stderr" "$(wc -c <"$E2E_WORK/probe.err")" 0
    expect_equal "signal-taking threads and inheritable descriptors during each search" \
        "$(grep '^during ' "$E2E_WORK/probe.out" | cut -d' ' -f2- | sort -u)" "0 0"
    for search in 1 2; do
        expect_search $search 3 $FINDER_ALLOWANCE_MS
        expect_equal "robots of search $search" "$(records_of_search $search)" "$FINDER_ROBOTS"
    done
    expect_equal "UPnP stack mapped in the host" "$(e2e_value "$E2E_WORK/probe.out" upnp-stack)" none
    expect_equal "libcurl mapped in the host" "$(e2e_value "$E2E_WORK/probe.out" libcurl)" none
    expect_equal "finder helper ran" "$(e2e_value "$E2E_WORK/probe.out" helper-ran)" yes
    counts=$(grep '^search ' "$E2E_WORK/probe.out" | cut -d' ' -f4-)
    expect_equal "threads and descriptors after the first search" "$(sed -n 1p <<<"$counts")" \
        "$(e2e_value "$E2E_WORK/probe.out" start)"
    expect_equal "threads and descriptors after the second search" "$(sed -n 2p <<<"$counts")" \
        "$(sed -n 1p <<<"$counts")"
    ;;
soup2)
    run_probe 1 "$fake_soup2"
    expect_equal "bytes the search wrote to stderr" "$(wc -c <"$E2E_WORK/probe.err")" 0
    expect_search 1 3 $FINDER_ALLOWANCE_MS
    expect_equal "robots" "$(records_of_search 1)" "$FINDER_ROBOTS"
    expect_equal "UPnP stack mapped in the host" "$(e2e_value "$E2E_WORK/probe.out" upnp-stack)" none
    expect_equal "finder helper ran" "$(e2e_value "$E2E_WORK/probe.out" helper-ran)" yes
    ;;
*)
    echo "unknown case $case" >&2
    exit 2
    ;;
esac

e2e_finish
