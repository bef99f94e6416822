#!/usr/bin/env bash
# The installed libseekwell as a guest in hosts that are hard on it, on one of its two paths:
#
#   finder   the installed library, with its finder helper beside it
#   builtin  the library copied alone into a scratch folder
#
# A private simulated LAN holds three plain robots, robot 4 whose description comes only after a
# pause (so a fetch is in progress while the host acts), robot 5 whose description has an
# undefined entity and robot 6 that answers 3 s into the window (so a receive that ended early
# misses it). Each mode of the host harness is one process with one search (the fork modes
# add the child's); every check below names what it guards.
#
#   hosts_test.sh PATH INSTALL-PREFIX HOST-HARNESS THREAD-REFUSAL-SHIM SLOW-SSL-INIT-SHIM
#                 SOCKET-PAIR-WITNESS-SHIM
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
path=$1
prefix=$2
harness=$3
shim=$4
slow_ssl_shim=$5
witness_shim=$6
e2e_require_lan

readonly SEARCH_WINDOW_MS=10000
readonly ROBOTS=6
readonly SLOW_ROBOT=4
# Outlives every mode of one run; cleanup stops it earlier.
readonly SIM_LIFETIME_S=400

case $path in
finder)
    library=$(find "$prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)
    expect_true "helper installed beside the library and executable" \
        test -f "$(dirname "$library")/seekwell/seekwell-finder-gupnp" -a \
             -x "$(dirname "$library")/seekwell/seekwell-finder-gupnp"
    ;;
builtin)
    e2e_copy_library_alone "$prefix" "$E2E_WORK/alone" || exit 1
    library="$E2E_WORK/alone/libseekwell.so.2"
    ;;
*)
    echo "unknown path $path" >&2
    exit 2
    ;;
esac

# Every robot on both paths: the finder's parser recovers from robot 5's entity, and on the finder
# path the address is the host text of the presentation URL, here the same.
expected_robots=$(printf 'ROVA robot %d@192.0.2.%d\n' 1 10 2 11 3 12 4 13 5 14 6 15)

simlan_create "$E2E_LAN_NAME" $ROBOTS || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS \
    --fault $SLOW_ROBOT:slow-description --fault 5:broken-xml --fault 6:late-reply --duration $SIM_LIFETIME_S || exit 1
slow_address=$(simlan_device_address $SLOW_ROBOT)

report=
declare -A started_modes
# start_mode MODE [ENV-ASSIGNMENTS...]: one harness process in the background; finish_mode MODE
# waits for it and checks what every mode must leave: its report goes to $report. Whatever
# reaches its standard output or error came from the library (or a sanitizer) and fails the mode.
start_mode() {
    local mode=$1
    shift
    simlan_client env "$@" "$harness" "$mode" "$library" "$E2E_WORK/$mode.report" "$slow_address" \
        >"$E2E_WORK/$mode.stdout" 2>"$E2E_WORK/$mode.stderr" &
    started_modes[$mode]=$!
}
finish_mode() {
    local mode=$1 status
    wait "${started_modes[$mode]}"
    status=$?
    report="$E2E_WORK/$mode.report"
    echo "--- $path $mode (exit status $status)"
    cat "$report" 2>/dev/null
    expect_equal "$mode: exit status (an abort or crash shows here)" "$status" 0
    expect_equal "$mode: host's standard output" "$(cat "$E2E_WORK/$mode.stdout")" ""
    expect_equal "$mode: host's standard error" "$(head -c 2000 "$E2E_WORK/$mode.stderr")" ""
}
run_mode() {
    start_mode "$@"
    finish_mode "$1"
}

value() {
    e2e_value "$report" "$1"
}

# expect_robots MODE [PREFIX]: the records of the call (or of the forked child's, PREFIX child_).
expect_robots() {
    local lines
    lines=$(sed -n "s/^${2:-}record //p" "$report" | sort)
    expect_equal "$1: robots found" "$lines" "$expected_robots"
}

expect_whole_window() {
    local elapsed
    elapsed=$(value elapsed_ms)
    expect_true "$1: the call lasted the whole window (${elapsed:-no} ms)" test "${elapsed:-0}" -ge $SEARCH_WINDOW_MS
}

# Signals to every thread, the masks of the library's threads, and children started meanwhile.
run_mode busy
expect_robots busy
expect_whole_window busy
expect_true "busy: the host's threads did receive signals" test "$(value signals_on_host_threads)" -gt 0
expect_equal "busy: signals that ran on the library's threads" "$(value signals_on_library_threads)" 0
expect_equal "busy: library threads without every signal blocked" "$(value library_threads_unblocked)" none
expect_equal "busy: descriptors a child spawned during the window inherited" "$(value spawn_window)" "inherited none"
expect_equal "busy: the slow robot's fetch was seen" "$(value spawn_fetch_seen)" yes
expect_equal "busy: descriptors a child spawned during a fetch inherited" "$(value spawn_fetch)" "inherited none"

# A default thread stack of 128 KiB, for the library's threads and for the caller's.
run_mode small-stack
expect_robots small-stack
expect_whole_window small-stack

# Cancellation of the caller waits for the call's end.
for when in window fetch; do
    run_mode cancel-$when
    [ $when == fetch ] && expect_equal "cancel-fetch: the slow robot's fetch was seen" "$(value cancel_fetch_seen)" yes
    expect_equal "cancel-$when: cancelled while calling" "$(value cancel_sent_while_calling)" yes
    expect_equal "cancel-$when: the call returned" "$(value call_returned)" yes
    expect_equal "cancel-$when: the thread was cancelled after it" "$(value thread_cancelled)" yes
    expect_robots cancel-$when
    expect_whole_window cancel-$when
done

# A child forked during the search searches on its own afterwards.
run_mode fork
expect_robots fork
expect_equal "fork: the child's call ended" "$(value child_end)" exited
expect_robots fork child_

# Modes that share no host condition run side by side (each its own process), so that they cost
# one window between them.
readonly ASAN_PRELOAD="ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
start_mode descriptors LD_PRELOAD="$witness_shim" "$ASAN_PRELOAD"
parallel_modes=(relative-load null-array)
if [ "$path" == finder ]; then
    parallel_modes+=(no-pidfd no-pidfd-wait)
else
    start_mode fork-load LD_PRELOAD="$slow_ssl_shim" "$ASAN_PRELOAD"
fi
for mode in "${parallel_modes[@]}"; do
    start_mode "$mode"
done

# A fork while libcurl is being made ready waits for it; the child's own call then works.
if [ "$path" == builtin ]; then
    finish_mode fork-load
    expect_equal "fork-load: forked while libcurl was being made ready" "$(value forked_while_loading)" yes
    expect_robots fork-load
    expect_equal "fork-load: the child's call ended" "$(value child_end)" exited
    expect_robots fork-load child_
fi

# The library changes no descriptor of the host's, and a child spawned during the fetches inherits
# none of the library's, with 5000 inheritable descriptors of the host's open.
finish_mode descriptors
expect_robots descriptors
expect_true "descriptors: the host made socket pairs" test "$(value host_pairs_made)" -gt 0
expect_equal "descriptors: host socket pairs whose flags changed" "$(value host_pairs_changed)" 0
expect_equal "descriptors: children spawned during the fetches that inherited one of the library's" \
    "$(value children_with_library_descriptors)" 0
expect_true "descriptors: the library made socket pairs" test "$(value library_pairs_made)" -gt 0
expect_equal "descriptors: the library's socket pairs that were inheritable when made" \
    "$(value library_pairs_inheritable_when_made)" 0

# Loaded by a relative name: the helper is looked for beside the library as it was loaded, never
# relative to the folder the host is in later.
finish_mode relative-load
expect_robots relative-load
expect_equal "relative-load: the decoy helper in the host's folder ran" "$(value decoy_ran)" no
if [ "$path" == finder ]; then
    expect_robots relative-load root_
    expect_equal "relative-load: libcurl loaded (the finder path was lost)" "$(value libcurl_loaded)" no
fi

# A null array: -1, and nothing started to find that out.
finish_mode null-array
expect_equal "null-array: result" "$(value null_result)" -1
expect_equal "null-array: children started" "$(value null_children_started)" 0

# Sandboxes without process handles, or without waits on them: the finder path all the same
# (the host never searches itself), and no child left behind.
if [ "$path" == finder ]; then
    for mode in no-pidfd no-pidfd-wait; do
        finish_mode $mode
        expect_robots $mode
        expect_equal "$mode: libcurl loaded (the search fell back into the host)" "$(value libcurl_loaded)" no
        expect_equal "$mode: children left" "$(value children_left)" 0
    done
fi

# No thread can be started in the host: each path keeps its contract and nothing crashes. The
# finder's threads live in its helper, which the shim does not reach: every robot is found.
run_mode plain LD_PRELOAD="$shim" "$ASAN_PRELOAD"
result=$(value result)
if [ "$path" == finder ]; then
    expect_robots plain
else
    expect_true "no threads: a built-in search took place (result $result)" test "${result:--1}" -ge 0
fi

e2e_finish
