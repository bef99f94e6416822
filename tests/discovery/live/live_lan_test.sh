#!/usr/bin/env bash
# The installed library's live search, driven by a C host in a private client namespace, against
# simulated robots with every fault that makes a responder left out. One table of cases over one
# LAN: the events of a search, the same robots as the blocking call beside it, no connection to
# any host but the one that answered, GONE when the robots stop, cancels, bad input, the guest
# rules, forked children and a C++ host whose callback throws.
#
#   live_lan_test.sh INSTALL-PREFIX LIVE-HOST THROWING-HOST
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
throwing_host=$3
e2e_require_lan

readonly ROBOTS=16
readonly OTHERS=2
readonly LATE_REPLY_MS=3000
# Replies on one LAN come within milliseconds; fetches from a local simulator too.
readonly PROMPT_MS=1000
readonly CANCEL_LIMIT_MS=50
readonly WATCH_PERIOD_MS=1000
readonly GONE_AFTER_MISSED=3
# The parent's CPU time while its forked child lives (300 ms): a thread spinning would take it all.
readonly FORK_CPU_LIMIT_MS=60

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create "$E2E_LAN_NAME" $((ROBOTS + OTHERS)) || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS --others $OTHERS \
    --fault 2:late-reply --fault 3:no-http --fault 4:no-marker --fault 5:bad-location \
    --fault 6:other-scheme --fault 7:wrong-udn --fault 8:error-status --fault 9:huge-body \
    --fault 10:nul-body --fault 11:location-loopback --fault 12:location-unspecified \
    --fault 13:location-broadcast --fault 14:location-multicast --fault 15:slow-description \
    --fault 16:location-other-device \
    --log "$E2E_WORK/traffic.log" "${E2E_SIM_LIFETIME[@]}" || exit 1

# Anything that connects to port 80 of the client itself (127.0.0.1, 0.0.0.0) is counted here.
simlan_client /usr/bin/python3 -c '
import os, socket, sys, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("0.0.0.0", 80))
listener.listen(16)
listener.settimeout(1)
open(sys.argv[1] + ".ready", "w").close()
ends = time.monotonic() + 150
while time.monotonic() < ends and not os.path.exists(sys.argv[1] + ".stop"):
    try:
        connection, _ = listener.accept()
    except socket.timeout:
        continue
    connection.close()
    with open(sys.argv[1], "a") as log:
        log.write("accepted\n")
' "$E2E_WORK/local-accepts" >/dev/null 2>&1 &
trap 'touch "$E2E_WORK/local-accepts.stop"; sleep 1.2; e2e_cleanup' EXIT
for _ in $(seq 50); do [ -e "$E2E_WORK/local-accepts.ready" ] && break; sleep 0.1; done

live() {
    LD_LIBRARY_PATH="$alone" simlan_client "$host" "$@"
}
local_accepts() {
    [ -e "$E2E_WORK/local-accepts" ] && wc -l <"$E2E_WORK/local-accepts" || echo 0
}
fetches_to() {
    grep -c "^http to=$1 " "$E2E_WORK/traffic.log"
}
events() {
    grep -E "^$1 " "$2" | cut -d' ' -f3- | sort
}

# 1. One search on the interface named, alone on the LAN.
live events 10000 "$SIMLAN_CLIENT_IF" >"$E2E_WORK/events.out" 2>&1
expect_equal "host exit status" "$?" 0
cat "$E2E_WORK/events.out"
expect_true "the installed library loaded" grep -q "^library $alone/libseekwell.so.2" "$E2E_WORK/events.out"
url() { echo "http://$(simlan_device_address "$1")/ROVA.XML"; }
expect_equal "robots" "$(events ROBOT "$E2E_WORK/events.out")" "$(sort <<LIST
"ROVA robot 1" $(simlan_device_address 1) $(url 1) $SIMLAN_CLIENT_IF
"ROVA robot 2" $(simlan_device_address 2) $(url 2) $SIMLAN_CLIENT_IF
"ROVA robot 8" $(simlan_device_address 8) $(url 8) $SIMLAN_CLIENT_IF
"ROVA robot 9" $(simlan_device_address 9) $(url 9) $SIMLAN_CLIENT_IF
"ROVA robot 15" $(simlan_device_address 15) $(url 15) $SIMLAN_CLIENT_IF
LIST
)"
# address, then the reason's number in seekwell_skip_reason
skipped_table="$(sort <<LIST
$(simlan_device_address 3) 7
$(simlan_device_address 4) 1
$(simlan_device_address 5) 3
$(simlan_device_address 6) 3
$(simlan_device_address 7) 11
$(simlan_device_address 10) 11
$(simlan_device_address 11) 4
$(simlan_device_address 12) 4
$(simlan_device_address 13) 4
$(simlan_device_address 14) 4
$(simlan_device_address 16) 5
$(simlan_device_address 17) 1
$(simlan_device_address 18) 1
LIST
)"
expect_equal "skipped, and why" "$(grep '^SKIPPED ' "$E2E_WORK/events.out" | cut -d' ' -f3,4 | sort)" "$skipped_table"
expect_equal "the end" "$(grep '^DONE ' "$E2E_WORK/events.out" | cut -d' ' -f3-)" '1 0 "window over"'
expect_equal "left behind" "$(e2e_value "$E2E_WORK/events.out" left)" "threads=0 descriptors=0"
ms_of() { grep -F "\"ROVA robot $1\"" "$E2E_WORK/events.out" | sed 's/^ROBOT +\([0-9]*\) .*/\1/'; }
expect_true "robot 1 reported at once ($(ms_of 1) ms)" test "$(ms_of 1)" -lt $PROMPT_MS
expect_true "the late robot reported as it answers ($(ms_of 2) ms)" \
    test "$(ms_of 2)" -ge $LATE_REPLY_MS -a "$(ms_of 2)" -lt $((LATE_REPLY_MS + PROMPT_MS))
expect_equal "connections to the client itself" "$(local_accepts)" 0
expect_equal "fetches from the device another robot named" "$(fetches_to "$(simlan_device_address 17)")" 0
expect_equal "searches went out from a port of the system's choice" \
    "$(grep -c "^ssdp from=$SIMLAN_CLIENT_ADDRESS:1900 " "$E2E_WORK/traffic.log")" 0

# 2. Two live searches at once and the blocking call beside them: the same robots, and the
#    blocking call still fetches from whatever LOCATION names.
live beside >"$E2E_WORK/beside.out" 2>&1
cat "$E2E_WORK/beside.out"
expect_equal "two live searches" "$(e2e_value "$E2E_WORK/beside.out" live)" "robots 5 5 done 1 1"
expect_equal "the blocking call" "$(e2e_value "$E2E_WORK/beside.out" blocking)" "robots 5"
expect_equal "the blocking call's connections to the client itself" "$(local_accepts)" 2
expect_equal "the blocking call's fetch from the device named" "$(fetches_to "$(simlan_device_address 17)")" 1

# 3. Cancels, from another thread (also one with a cancel request of its own pending) and from
#    inside the callback.
for how in "cancel-thread 500" "cancel-pending 500" cancel-callback; do
    out="$E2E_WORK/${how%% *}.out"
    live $how >"$out" 2>&1
    cat "$out"
    took=$(e2e_value "$out" cancel_to_done_ms)
    expect_true "$how: DONE ${took:-never} ms after the cancel" test "${took:-999}" -le $CANCEL_LIMIT_MS
    expect_equal "$how: the end" "$(grep '^DONE ' "$out" | cut -d' ' -f3-)" '2 0 "cancelled"'
    expect_equal "$how: dispatch after DONE" "$(e2e_value "$out" dispatch_after_done)" 0
    expect_equal "$how: left behind" "$(e2e_value "$out" left)" "threads=0 descriptors=0"
done
expect_equal "cancel-pending: the thread's own request acted after the call" \
    "$(e2e_value "$E2E_WORK/cancel-pending.out" canceller_cancelled)" 1

# 4. Bad input and calls in the wrong order; then a guest's rules while a search runs.
live contract >"$E2E_WORK/contract.out" 2>&1
cat "$E2E_WORK/contract.out"
expect_equal "contract cases that failed" "$(grep '^contract ' "$E2E_WORK/contract.out" | grep -v ' ok ')" ""
expect_equal "contract cases" "$(grep -c '^contract ' "$E2E_WORK/contract.out")" 27
# The forked children free a search whose thread exists only in the parent, on purpose: a thread
# sanitizer would count that thread as leaked in each child.
TSAN_OPTIONS="${TSAN_OPTIONS:-} report_thread_leaks=0" live guest >"$E2E_WORK/guest.out" 2>&1
cat "$E2E_WORK/guest.out"
expect_true "guest: robots, forks, signals, descriptors" \
    grep -qE '^guest robots 4 forks_ok ([0-9]+) of \1 signals_on_host \1 inheritable 0$' "$E2E_WORK/guest.out"

# A child forked mid-search cancels, frees or only holds its copy: the parent's search reports its
# robots to the end of its window, and the parent stays idle while the child lives. Beside them, a
# C++ host whose callback throws at the first event: it catches that, and the rest comes next.
# At once, to end before the simulator does.
beside=()
for action in cancel free hold; do
    TSAN_OPTIONS="${TSAN_OPTIONS:-} report_thread_leaks=0" live fork $action >"$E2E_WORK/fork-$action.out" 2>&1 &
    beside+=($!)
done
LD_LIBRARY_PATH="$alone" simlan_client "$throwing_host" throw >"$E2E_WORK/throw.out" 2>&1
LD_LIBRARY_PATH="$alone" simlan_client "$throwing_host" free-then-throw >"$E2E_WORK/free-throw.out" 2>&1
wait "${beside[@]}"
for action in cancel free hold; do
    out="$E2E_WORK/fork-$action.out"
    cat "$out"
    cpu=$(e2e_value "$out" fork_watch | sed -n 's/^cpu_ms \([0-9]*\) .*/\1/p')
    expect_true "fork $action: parent's CPU ${cpu:-?} ms while the child lived" test "${cpu:-999}" -le $FORK_CPU_LIMIT_MS
    expect_equal "fork $action: the child's calls" "$(e2e_value "$out" fork_watch | sed 's/.* child_exit //')" 0
    expect_equal "fork $action: the parent's search" "$(e2e_value "$out" fork_search)" "robots 5 done 1"
done
cat "$E2E_WORK/throw.out" "$E2E_WORK/free-throw.out"
expect_equal "throw: caught, the rest waiting" "$(e2e_value "$E2E_WORK/throw.out" caught)" "events=1 readable=1"
expect_equal "throw: every event" "$(e2e_value "$E2E_WORK/throw.out" rest)" "robots=5 skipped=13 done=1"
expect_equal "throw: dispatch after DONE" "$(e2e_value "$E2E_WORK/throw.out" dispatch_after_done)" 0
expect_equal "throw: left behind" "$(e2e_value "$E2E_WORK/throw.out" left)" "threads=0 descriptors=0"
expect_equal "free-then-throw: released before it was caught" \
    "$(grep -A1 '^caught ' "$E2E_WORK/free-throw.out" | tr '\n' ' ')" "caught events=1 left threads=0 descriptors=0 "

# Nothing but the host's own lines: the library prints nothing.
expect_equal "lines the host did not print" "$(cat "$E2E_WORK"/*.out |
    grep -vE '^(library|ROBOT|UDN|SKIPPED|GONE|QUIET|DONE|left|wait|cancel_to_done_ms|dispatch_after_done|canceller_cancelled|contract|guest|live|blocking|fork_watch|fork_search|caught|rest) ')" ""

# 5. A watch: the robots stop answering and each is GONE within its missed searches.
live watch $WATCH_PERIOD_MS 10000 >"$E2E_WORK/watch.out" 2>&1 &
watcher=$!
sleep 4.5
kill "$SIMLAN_SIM_PID"
stopped_ms=4500
wait "$watcher"
cat "$E2E_WORK/watch.out"
expect_equal "gone" "$(events GONE "$E2E_WORK/watch.out" | cut -d' ' -f1-4)" "$(events ROBOT "$E2E_WORK/watch.out" | cut -d' ' -f1-4)"
expect_equal "robots watched" "$(grep -c '^GONE ' "$E2E_WORK/watch.out")" 5
expect_equal "reasons told once" "$(grep '^SKIPPED ' "$E2E_WORK/watch.out" | cut -d' ' -f3,4 | sort | uniq -d)" ""
for ms in $(grep '^GONE ' "$E2E_WORK/watch.out" | sed 's/^GONE +\([0-9]*\) .*/\1/'); do
    expect_true "GONE at $ms ms" test "$ms" -le $((stopped_ms + (GONE_AFTER_MISSED + 1) * WATCH_PERIOD_MS + PROMPT_MS))
done

e2e_finish
