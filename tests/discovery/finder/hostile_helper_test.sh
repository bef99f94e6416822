#!/usr/bin/env bash
# The installed libseekwell with a fake finder helper beside it that misbehaves (crashes, hangs,
# writes garbage, without end or a byte at a time, exits early or badly, writes more than its
# stream, prints, fails its probe, or answers its probe and is gone before the search), one search
# in a host that ignores SIGPIPE and SIGINT: the search ends in time with the answer of a failed
# search (-1 where no search could start), and the host prints nothing but its own report and
# keeps no child, thread, descriptor or library of the UPnP stack. A good helper and one that
# reports what it inherited show the same path working.
#
# A failed probe sends the library to its built-in search, which multicasts: every case runs in
# a network namespace of its own with nothing but loopback, removed on exit.
#
#   hostile_helper_test.sh INSTALL-PREFIX SEARCH-PROBE FAKE-HELPER
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
probe=$2
fake_helper=$3

readonly SEARCH_WINDOW_MS=10000
readonly GRACE_MS=1000
readonly PROBE_BOUND_MS=1000
# The built-in search adds its description fetches to the window.
readonly BUILTIN_ALLOWANCE_MS=3000
# Starting, killing and reaping, with every case running at once on a small machine.
readonly SLACK_MS=1000
readonly CASE_TIMEOUT_S=60
readonly NS_PREFIX=swhh
readonly HOSTILE_SEARCHES=(crash hang garbage flood early-exit bad-status trailing dribble)
readonly FAILED_PROBES=(probe-hang probe-fail)
readonly GOOD_ROBOTS='ROVA robot 1@192.0.2.10
ROVA robot 2@192.0.2.11'
# The request's window is what is left of the call's 10 s once the helper runs (its start-up is
# spent inside the window), shown here as WINDOW and checked on its own.
readonly REPORT_ROBOT='fds 0,1,2,3 blocked none ignored none env 0 args --search request upnp:rootdevice WINDOW@192.0.2.10'
readonly WINDOW_LEFT_MIN_MS=9000
readonly PROBE_LINES='^(start|search|during|record|helper-ran|upnp-stack|libcurl|children) '

if [ "$(id -u)" -ne 0 ] || ! ip netns list >/dev/null 2>&1; then
    echo "SKIP: needs root and 'ip netns' to run each case in a private network namespace" >&2
    exit $E2E_SKIP
fi
E2E_WORK=$(mktemp -d /tmp/seekwell-hostile-helper.XXXXXX)
namespaces=()

remove_namespaces() {
    local ns
    for ns in "${namespaces[@]}"; do
        ip netns del "$ns" 2>/dev/null
    done
    e2e_cleanup
}
trap remove_namespaces EXIT

# Namespaces of runs that were killed before their cleanup could run (their PID is gone).
for ns in $(ip netns list | awk '{ print $1 }' | grep -E "^$NS_PREFIX-[0-9]+-[0-9]+\$"); do
    pid=${ns#"$NS_PREFIX"-}
    kill -0 "${pid%-*}" 2>/dev/null || ip netns del "$ns"
done

library=$(find "$prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)
[ -n "$library" ] || { echo "no libseekwell installed under $prefix" >&2; exit 1; }

# start_case INDEX MODE: the library and the fake helper in a folder of the case's own, one
# search in a namespace of its own, in the background.
start_case() {
    local index=$1 mode=$2 ns=$NS_PREFIX-$$-$1 dir=$E2E_WORK/$2
    e2e_copy_library_alone "$prefix" "$dir" || return 1
    mkdir "$dir/seekwell"
    cp "$fake_helper" "$dir/seekwell/seekwell-finder-gupnp"
    echo "$mode" >"$dir/seekwell/fake-helper-mode"
    ip netns add "$ns" || return 1
    namespaces+=("$ns")
    ip -n "$ns" link set lo up
    (
        trap '' PIPE INT
        exec timeout --kill-after=5 $CASE_TIMEOUT_S ip netns exec "$ns" \
            "$probe" "$dir/$(basename "$library")" 1 >"$dir/probe.out" 2>"$dir/probe.err"
    ) &
    pids[$index]=$!
}

# check_case INDEX MODE RESULT MAX-ELAPSED-MS [RECORDS]; RESULT "failed" takes 0 or -1.
check_case() {
    local index=$1 mode=$2 expected=$3 bound=$4 records=${5:-} dir=$E2E_WORK/$2 status fields counts
    wait "${pids[$index]}"
    status=$?
    echo "--- $mode"
    cat "$dir/probe.out"
    cat -v "$dir/probe.err" >&2
    expect_equal "$mode: probe exit status" "$status" 0
    expect_equal "$mode: bytes on the host's stderr" "$(wc -c <"$dir/probe.err")" 0
    expect_equal "$mode: lines on the host's stdout that are not its own" \
        "$(grep -cvE "$PROBE_LINES" "$dir/probe.out")" 0
    read -r -a fields <<<"$(e2e_value "$dir/probe.out" search)"
    if [ "$expected" == failed ]; then
        expect_true "$mode: result ${fields[0]:-} is that of a failed search" test "${fields[0]:-1}" -le 0
    else
        expect_equal "$mode: result" "${fields[0]:-}" "$expected"
    fi
    expect_true "$mode: the search ended in time (${fields[1]:-} ms)" test "${fields[1]:-$((bound + 1))}" -le "$bound"
    expect_equal "$mode: records" "$(sed -n 's/^record //p' "$dir/probe.out" |
        sed -E 's/( request [^ ]+ )[0-9]+@/\1WINDOW@/' | sort)" "$records"
    local window
    for window in $(sed -n -E 's/^record .* request [^ ]+ ([0-9]+)@.*/\1/p' "$dir/probe.out"); do
        expect_true "$mode: the helper's window, $window ms" test "$window" -ge $WINDOW_LEFT_MIN_MS -a "$window" -le 10000
    done
    expect_equal "$mode: signal-taking threads and inheritable descriptors during the search" \
        "$(e2e_value "$dir/probe.out" during)" "0 0"
    counts="${fields[2]:-} ${fields[3]:-}"
    expect_equal "$mode: threads and descriptors after the search" "$counts" "$(e2e_value "$dir/probe.out" start)"
    expect_equal "$mode: children left" "$(e2e_value "$dir/probe.out" children)" 0
    expect_equal "$mode: UPnP stack mapped" "$(e2e_value "$dir/probe.out" upnp-stack)" none
}

readonly SEARCH_BOUND_MS=$((SEARCH_WINDOW_MS + GRACE_MS + SLACK_MS))
readonly FALLBACK_BOUND_MS=$((PROBE_BOUND_MS + SEARCH_WINDOW_MS + BUILTIN_ALLOWANCE_MS + SLACK_MS))
modes=(good stray-output report vanish "${HOSTILE_SEARCHES[@]}" "${FAILED_PROBES[@]}")
declare -a pids
for i in "${!modes[@]}"; do
    start_case "$i" "${modes[$i]}" || exit 1
done
for i in "${!modes[@]}"; do
    mode=${modes[$i]}
    case $mode in
    good | stray-output) check_case "$i" "$mode" 2 $SEARCH_BOUND_MS "$GOOD_ROBOTS" ;;
    report) check_case "$i" "$mode" 1 $SEARCH_BOUND_MS "$REPORT_ROBOT" ;;
    # Found usable, then gone before the search could start it: no search took place.
    vanish) check_case "$i" "$mode" -1 $((PROBE_BOUND_MS + SLACK_MS)) ;;
    probe-*) check_case "$i" "$mode" failed $FALLBACK_BOUND_MS ;;
    *) check_case "$i" "$mode" 0 $SEARCH_BOUND_MS ;;
    esac
done

e2e_finish
