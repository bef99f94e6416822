#!/usr/bin/env bash
# The installed library's live search on a hostile LAN, driven by a C host in a private client
# namespace beside simulated robots, with a forger that writes SSDP replies from any IP source:
#   origin   replies forged from a host of another network (reverse-path filter off, then loose),
#            from the client's own address (a local process, and forged on the LAN): SKIPPED for
#            the right reason, and no connection to the host they name;
#   flood    large forged replies from nobody's addresses all through the window: every robot
#            reported within a second of its reply, DONE in time, the host's memory bounded;
#   fire     small replies from ever-new sources, on the subnet and off it: robots still
#            reported, then a cancel and a free, each within 50 ms;
#   web      a watch while ssdp:alive floods from a web server of the LAN that is no robot,
#            naming itself: it is read at most once a round;
#   renames  a watch whose host does not dispatch for 10 s while a robot renames itself on each
#            read and alives from its address bring a new boot id thousands of times a second: the
#            host's memory stays put, and one ROBOT waits for that robot, not thousands;
#   two-links the client on the LAN twice, by two links with an address each: every robot
#            reported exactly once and none left out.
#
#   hostile_lan_test.sh INSTALL-PREFIX FLOOD-HOST FORGER
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
forger=$3
e2e_require_lan

readonly ROBOTS=6
readonly LATE_ROBOTS=" 2 5 "
readonly LATE_REPLY_MS=3000
# Replies on one LAN come within milliseconds; fetches from a local simulator too.
readonly PROMPT_MS=1000
readonly ORIGIN_WINDOW_MS=2500
readonly FLOOD_WINDOW_MS=10000
readonly FLOOD_RATE=2500
readonly FLOOD_SELF_EVERY=25 # 100 of the 2500 a second name their own sender
readonly FLOOD_LOCATION_BYTES=6000
# 25 000 forged senders, none twice: more than the client's /24 holds.
readonly FLOOD_NET=198.19.0.0/16
readonly FLOOD_PREFIX=16
readonly FLOOD_CLIENT_ADDRESS=198.19.0.1
readonly DONE_AFTER_WINDOW_MS=35000
readonly MEMORY_GROWTH_LIMIT_KB=$((32 * 1024))
# Two forgers, one from nobody's addresses of the LAN, one from ever-new addresses of another
# network (off the subnet): 60 000 replies a second in all.
readonly FIRE_RATE_EACH=30000
readonly FIRE_OTHER_SOURCES=198.18.0.0/15
readonly FIRE_AT_LEAST=50000
readonly FIRE_DURATION_MS=7000
readonly FIRE_WINDOW_MS=10000
readonly CANCEL_AT_MS=4500
readonly CANCEL_LIMIT_US=50000
readonly FREE_LIMIT_US=50000
readonly TWO_LINKS_WINDOW_MS=5000
readonly RECEIVE_BUFFER_BYTES=$((16 * 1024 * 1024))
readonly OTHER_HOST=198.18.0.5
readonly OTHER_NET=198.18.0.0/24
readonly SECOND_LINK=sw-client2
readonly SECOND_ADDRESS=192.0.2.3
# The client, the robot host and the second link; the simulator's devices follow.
readonly TAKEN_HOSTS=192.0.2.1-192.0.2.9
readonly SIM_LIFETIME_S=240
readonly FORGER_LIFETIME_S=60
readonly HOST_LIMIT_S=$(((FLOOD_WINDOW_MS + DONE_AFTER_WINDOW_MS) / 1000 + 15))
readonly SKIP_OFF_SUBNET=12
readonly SKIP_OWN_ADDRESS=13
# Devices after the robots: a web server that is no robot, a robot that renames itself.
readonly WEB_DEVICE=$((ROBOTS + 1))
readonly RENAMER_DEVICE=$((ROBOTS + 2))
readonly RENAMER_UDN=uuid:R0VA-5151-4000-8000-00000000fa11
readonly WATCH_PERIOD_MS=1000
readonly WEB_RATE=2000
readonly WEB_FLOOD_MS=3000
readonly WEB_WATCH_MS=5000
readonly RENAMER_RATE=3000
readonly RENAMER_FLOOD_MS=10000
readonly RENAMER_HOLD_MS=12000
readonly RENAMER_MEMORY_LIMIT_KB=4096
FORGER_PIDS=()

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create "$E2E_LAN_NAME" $ROBOTS || exit 1
simlan_add_routed_network $OTHER_NET $OTHER_HOST || exit 1
simlan_release_local_blocks || exit 1
devices="$(simlan_device_address 1)-$(simlan_device_address $ROBOTS)"

# start_sim NAME: the robots, their traffic logged in $E2E_WORK/traffic-NAME.log.
start_sim() {
    simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS --fault 2:late-reply --fault 5:late-reply \
        --log "$E2E_WORK/traffic-$1.log" --duration $SIM_LIFETIME_S
}
start_sim one-link || exit 1

# start_counter NAMESPACE ADDRESS NAME: counts the connections accepted on ADDRESS:80 there, a line
# each in $E2E_WORK/NAME, until NAME.stop appears.
start_counter() {
    simlan_in "$1" /usr/bin/python3 -c '
import os, socket, sys, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((sys.argv[1], 80))
listener.listen(64)
listener.settimeout(0.2)
open(sys.argv[2] + ".ready", "w").close()
ends = time.monotonic() + 280
while time.monotonic() < ends and not os.path.exists(sys.argv[2] + ".stop"):
    try:
        connection, _ = listener.accept()
    except socket.timeout:
        continue
    connection.close()
    with open(sys.argv[2], "a") as log:
        log.write("accepted\n")
' "$2" "$E2E_WORK/$3" >/dev/null 2>&1 &
    for _ in $(seq 50); do [ -e "$E2E_WORK/$3.ready" ] && return 0; sleep 0.1; done
    echo "the connection counter on $2 did not start" >&2
    return 1
}
connections() {
    [ -e "$E2E_WORK/$1" ] && wc -l <"$E2E_WORK/$1" || echo 0
}
stop_everything() {
    [ ${#FORGER_PIDS[@]} -gt 0 ] && kill "${FORGER_PIDS[@]}" 2>/dev/null
    touch "$E2E_WORK/other-host.stop" "$E2E_WORK/client-host.stop"
    sleep 0.5
    e2e_cleanup
}
trap stop_everything EXIT
start_counter "$SIMLAN_ROBOT_NS" $OTHER_HOST other-host || exit 1
start_counter "$SIMLAN_CLIENT_NS" 0.0.0.0 client-host || exit 1

# start_forger NAME NAMESPACE INTERFACE ARGS...: the forger, heard from in $E2E_WORK/NAME.report.
start_forger() {
    local name=$1 ns=$2 link=$3
    shift 3
    rm -f "$E2E_WORK/$name.ready" "$E2E_WORK/$name.report"
    simlan_runner "$ns"
    "${SIMLAN_RUNNER[@]}" "$forger" --interface "$link" --lifetime $FORGER_LIFETIME_S \
        --report "$E2E_WORK/$name.report" --ready-file "$E2E_WORK/$name.ready" "$@" &
    FORGER_PIDS+=($!)
    for _ in $(seq 50); do [ -e "$E2E_WORK/$name.ready" ] && return 0; sleep 0.1; done
    echo "the forger $name did not start" >&2
    return 1
}
# stop_forgers: ends answering forgers; flooding ones end by themselves after their flood.
stop_forgers() {
    kill -TERM "${FORGER_PIDS[@]}" 2>/dev/null
    await_forgers
}
await_forgers() {
    wait "${FORGER_PIDS[@]}" 2>/dev/null
    FORGER_PIDS=()
}

live() {
    LD_LIBRARY_PATH="$alone" simlan_client timeout $HOST_LIMIT_S "$host" "$@"
}
# Summing up a flooded search's output: its robots, its end and its costs, and skips by reason.
summarize() {
    grep -E '^(library|sanitizer|ROBOT|DONE|cancel_to_done_us|free_us|memory|cpu_us) ' "$1"
    grep '^SKIPPED ' "$1" | cut -d' ' -f4 | sort -n | uniq -c | awk '{ printf "skipped for reason %s: %s\n", $2, $1 }'
}
reasons_for() {
    grep "^SKIPPED +[0-9]* $2 " "$1" | cut -d' ' -f4 | sort -nu | tr '\n' ' ' | sed 's/ $//'
}
robot_count() {
    grep -c "^ROBOT +[0-9]* \".*\" $2 " "$1"
}
robot_ms() {
    grep "^ROBOT +[0-9]* \".*\" $2 " "$1" | head -n 1 | sed 's/^ROBOT +\([0-9]*\) .*/\1/'
}
# The numbers of DONE: its reason and error; the words after them may add counts.
done_of() {
    grep '^DONE ' "$1" | cut -d' ' -f3,4
}
report_value() {
    e2e_value "$E2E_WORK/$1.report" "$2"
}
receive_buffer_drops() {
    simlan_client cat /proc/net/snmp | awk '
        $1 == "Udp:" && !seen { for (i = 2; i <= NF; ++i) column[$i] = i; seen = 1; next }
        $1 == "Udp:" { print $column["RcvbufErrors"] }'
}

# expect_robots_on_time CASE OUTPUT: each robot reported once, within PROMPT_MS of its reply (at
# once, or LATE_REPLY_MS after the search for the late ones).
expect_robots_on_time() {
    local i address ms from to
    for ((i = 1; i <= ROBOTS; i++)); do
        address=$(simlan_device_address $i)
        from=0
        [[ $LATE_ROBOTS == *" $i "* ]] && from=$LATE_REPLY_MS
        to=$((from + PROMPT_MS))
        ms=$(robot_ms "$2" "$address")
        expect_equal "$1: ROBOT events for robot $i ($address)" "$(robot_count "$2" "$address")" 1
        expect_true "$1: robot $i ($address) reported at ${ms:-never} ms, expected from $from to below $to ms" \
            test "${ms:-999999}" -ge $from -a "${ms:-999999}" -lt $to
    done
}

# expect_robots_before CASE OUTPUT LIMIT_MS: each robot reported once, before LIMIT_MS. A flood that
# fills the receive buffer may cost a robot its first reply; the one to the next search counts.
expect_robots_before() {
    local i address ms
    for ((i = 1; i <= ROBOTS; i++)); do
        address=$(simlan_device_address $i)
        ms=$(robot_ms "$2" "$address")
        expect_equal "$1: ROBOT events for robot $i ($address)" "$(robot_count "$2" "$address")" 1
        expect_true "$1: robot $i ($address) reported at ${ms:-never} ms, expected before $3 ms" \
            test "${ms:-999999}" -lt "$3"
    done
}

# expect_prompt_robots CASE OUTPUT: the robots that answer at once, each reported once.
expect_prompt_robots() {
    local i
    for ((i = 1; i <= ROBOTS; i++)); do
        [[ $LATE_ROBOTS == *" $i "* ]] && continue
        expect_equal "$1: ROBOT events for robot $i" "$(robot_count "$2" "$(simlan_device_address $i)")" 1
    done
}

# 1 and 2. Where a reply comes from. Each row: the case, the namespace the forger runs in, its
# forged source (which its LOCATION names), the client's sysctls, the reason expected and the
# counter of connections to the host named.
origin_cases="
off-subnet-rp-off   robots $OTHER_HOST            rp_filter=0               $SKIP_OFF_SUBNET  other-host
off-subnet-rp-loose robots $OTHER_HOST            rp_filter=2               $SKIP_OFF_SUBNET  other-host
own-address-local   client $SIMLAN_CLIENT_ADDRESS rp_filter=0               $SKIP_OWN_ADDRESS client-host
own-address-forged  robots $SIMLAN_CLIENT_ADDRESS rp_filter=0,accept_local=1 $SKIP_OWN_ADDRESS client-host
"
while read -r -u 3 name where source settings reason counter; do
    [ -n "$name" ] || continue
    simlan_client_sysctl rp_filter 0 && simlan_client_sysctl accept_local 0 || exit 1
    for setting in ${settings//,/ }; do
        simlan_client_sysctl "${setting%=*}" "${setting#*=}" || exit 1
    done
    if [ "$where" = client ]; then
        start_forger "$name" "$SIMLAN_CLIENT_NS" "$SIMLAN_CLIENT_IF" --source "$source" || exit 1
    else
        start_forger "$name" "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --source "$source" || exit 1
    fi
    before=$(connections "$counter")
    live events $ORIGIN_WINDOW_MS "$SIMLAN_CLIENT_IF" >"$E2E_WORK/$name.out" 2>&1
    stop_forgers
    sleep 0.3 # a connection the search made is logged by now
    echo "== $name ($settings): forged replies $(report_value "$name" forged_replies) to $(report_value "$name" target)"
    cat "$E2E_WORK/$name.out"
    expect_true "$name: the forger answered a search" test "$(report_value "$name" forged_replies)" -ge 1
    expect_equal "$name: reasons $source was left out for" "$(reasons_for "$E2E_WORK/$name.out" "$source")" "$reason"
    expect_equal "$name: ROBOT events for $source" "$(robot_count "$E2E_WORK/$name.out" "$source")" 0
    expect_equal "$name: connections to $source port 80" "$(($(connections "$counter") - before))" 0
    expect_prompt_robots "$name" "$E2E_WORK/$name.out"
done 3<<<"$origin_cases"
simlan_client_sysctl rp_filter 0 && simlan_client_sysctl accept_local 0 || exit 1

# 3. A flood of large replies for the whole window, each from a nobody's address of its own on a
#    /16 the client also has on its link; a few name their own sender, so a fetch is tried and
#    never connects.
simlan_client ip addr add $FLOOD_CLIENT_ADDRESS/$FLOOD_PREFIX dev "$SIMLAN_CLIENT_IF" || exit 1
start_forger flood "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --source $FLOOD_NET --avoid $FLOOD_CLIENT_ADDRESS \
    --location "$SIMLAN_ROBOT_HOST_ADDRESS" --self-every $FLOOD_SELF_EVERY \
    --location-bytes $FLOOD_LOCATION_BYTES --rate $FLOOD_RATE --duration-ms $FLOOD_WINDOW_MS || exit 1
drops=$(receive_buffer_drops)
live events $FLOOD_WINDOW_MS "$SIMLAN_CLIENT_IF" >"$E2E_WORK/flood.out" 2>&1
await_forgers
echo "== flood: $(report_value flood forged_replies) replies in $(report_value flood forged_packets) packets" \
    "over $(report_value flood forged_seconds) s to $(report_value flood target)," \
    "refused $(report_value flood forged_failed); dropped at the client's full receive buffer: $(($(receive_buffer_drops) - drops))"
summarize "$E2E_WORK/flood.out"
expect_equal "flood: forged replies sent" "$(report_value flood forged_replies)" $((FLOOD_RATE * FLOOD_WINDOW_MS / 1000))
expect_equal "flood: forged packets the kernel refused" "$(report_value flood forged_failed)" 0
expect_robots_on_time flood "$E2E_WORK/flood.out"
done_ms=$(grep '^DONE ' "$E2E_WORK/flood.out" | sed 's/^DONE +\([0-9]*\) .*/\1/')
expect_equal "flood: the end (reason, error)" "$(done_of "$E2E_WORK/flood.out")" "1 0"
expect_true "flood: DONE at ${done_ms:-never} ms, at most $DONE_AFTER_WINDOW_MS ms after the window" \
    test "${done_ms:-999999}" -le $((FLOOD_WINDOW_MS + DONE_AFTER_WINDOW_MS))
growth=$(e2e_value "$E2E_WORK/flood.out" memory | awk '{ print $6 }')
if [ "$(e2e_value "$E2E_WORK/flood.out" sanitizer)" = 0 ]; then
    expect_true "flood: the host's memory grew by ${growth:-?} kB, at most $MEMORY_GROWTH_LIMIT_KB kB" \
        test "${growth:-999999999}" -le $MEMORY_GROWTH_LIMIT_KB
else
    echo "flood: memory not judged: the host runs under a sanitizer (grew by ${growth:-?} kB)"
fi
expect_equal "flood: robots reported" "$(grep -c '^ROBOT ' "$E2E_WORK/flood.out")" $ROBOTS
simlan_client ip addr del $FLOOD_CLIENT_ADDRESS/$FLOOD_PREFIX dev "$SIMLAN_CLIENT_IF" || exit 1

# 4. Fire: small replies from ever-new sources as fast as a LAN carries them; the robots are still
#    reported, then a cancel ends the search at once.
if simlan_raise_receive_buffers $RECEIVE_BUFFER_BYTES; then
    echo "== fire: receive buffers of the client namespace raised to $RECEIVE_BUFFER_BYTES bytes"
else
    echo "== fire: net.core.rmem_default is the whole machine's on this kernel, not the namespace's:" \
        "left at $(simlan_client cat /proc/sys/net/core/rmem_default) bytes (the library sets no SO_RCVBUF)"
fi
start_forger fire-lan "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --source 192.0.2.0/24 --avoid $TAKEN_HOSTS \
    --avoid "$devices" --new-ports --location "$SIMLAN_ROBOT_HOST_ADDRESS" --rate $FIRE_RATE_EACH \
    --duration-ms $FIRE_DURATION_MS || exit 1
start_forger fire-other "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --source $FIRE_OTHER_SOURCES --avoid $OTHER_HOST \
    --new-ports --location "$SIMLAN_ROBOT_HOST_ADDRESS" --rate $FIRE_RATE_EACH \
    --duration-ms $FIRE_DURATION_MS || exit 1
drops=$(receive_buffer_drops)
live cancel $FIRE_WINDOW_MS $CANCEL_AT_MS "$SIMLAN_CLIENT_IF" >"$E2E_WORK/fire.out" 2>&1
await_forgers
# Each forger's rate over its own flood, summed.
achieved=$(for name in fire-lan fire-other; do
    echo "$(report_value $name forged_replies) $(report_value $name forged_seconds)"
done | awk '$2 > 0 { sum += $1 / $2 } END { printf("%d", sum) }')
echo "== fire: $(report_value fire-lan forged_replies) + $(report_value fire-other forged_replies) replies" \
    "in $(report_value fire-lan forged_seconds) and $(report_value fire-other forged_seconds) s ($achieved a second)," \
    "refused $(report_value fire-lan forged_failed) + $(report_value fire-other forged_failed);" \
    "dropped at the client's full receive buffer: $(($(receive_buffer_drops) - drops))"
summarize "$E2E_WORK/fire.out"
expect_true "fire: $achieved forged replies a second, at least $FIRE_AT_LEAST" test "$achieved" -ge $FIRE_AT_LEAST
# A sanitizer slows the search's thread several times over: the flood then overruns the receive
# buffer for whole seconds, and what that costs says nothing of an ordinary build.
if [ "$(e2e_value "$E2E_WORK/fire.out" sanitizer)" = 0 ]; then
    expect_robots_before fire "$E2E_WORK/fire.out" $CANCEL_AT_MS
else
    echo "fire: robots not judged under a sanitizer: $(grep -c '^ROBOT ' "$E2E_WORK/fire.out") of $ROBOTS reported"
fi
expect_equal "fire: the end (reason, error)" "$(done_of "$E2E_WORK/fire.out")" "2 0"
took=$(e2e_value "$E2E_WORK/fire.out" cancel_to_done_us)
expect_true "fire: DONE ${took:-never} us after the cancel, at most $CANCEL_LIMIT_US" test "${took:-999999999}" -le $CANCEL_LIMIT_US
took=$(e2e_value "$E2E_WORK/fire.out" free_us)
expect_true "fire: free took ${took:-?} us, at most $FREE_LIMIT_US" test "${took:-999999999}" -le $FREE_LIMIT_US

# The web server and the renaming robot, each a simulator of its own on an address of its own.
for device in $WEB_DEVICE $RENAMER_DEVICE; do
    simlan_ip "$SIMLAN_ROBOT_NS" addr add "$(simlan_device_address "$device")/$SIMLAN_PREFIX_LENGTH" \
        dev "$SIMLAN_ROBOT_IF" || exit 1
done
web=$(simlan_device_address $WEB_DEVICE)
renamer=$(simlan_device_address $RENAMER_DEVICE)
simlan_start_more_sim $WEB_DEVICE "$prefix/bin/seekwell-robot-sim" --robots 0 --others 1 \
    --log "$E2E_WORK/traffic-web.log" --duration $SIM_LIFETIME_S || exit 1
web_sim=$SIMLAN_MORE_SIM_PID
gets() { grep -c "^http to=$1 " "$E2E_WORK/$2"; }

# 5. Web: 2000 ssdp:alive a second for 3 s from the web server's address, naming it, each with a
#    UDN of its own, during a watch: the GETs the server sees are at most one a round.
live watch $WATCH_PERIOD_MS $WEB_WATCH_MS 0 "$SIMLAN_CLIENT_IF" >"$E2E_WORK/web.out" 2>&1 &
watcher=$!
sleep 1
counted=$(date +%s%N)
before=$(gets "$web" traffic-web.log)
start_forger web "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --notify alive --source "$web" --rate $WEB_RATE \
    --duration-ms $WEB_FLOOD_MS || exit 1
await_forgers
sleep 0.3
reads=$(($(gets "$web" traffic-web.log) - before))
counted=$((($(date +%s%N) - counted) / 1000000))
# One read a round: at most as many as the rounds the count overlapped.
rounds=$(((counted + WATCH_PERIOD_MS - 1) / WATCH_PERIOD_MS + 1))
wait $watcher
echo "== web: $(report_value web forged_notifies) alives in $(report_value web forged_seconds) s," \
    "refused $(report_value web forged_failed); GETs of $web over $counted ms: $reads"
grep -E "^(ROBOT|GONE|DONE|SKIPPED .* $web) " "$E2E_WORK/web.out"
expect_equal "web: alives forged" "$(report_value web forged_notifies)" $((WEB_RATE * WEB_FLOOD_MS / 1000))
expect_true "web: $reads GETs of $web over $counted ms, from 1 to $rounds" test "$reads" -ge 1 -a "$reads" -le $rounds
expect_equal "web: ROBOT events for $web" "$(robot_count "$E2E_WORK/web.out" "$web")" 0
expect_prompt_robots web "$E2E_WORK/web.out"

# 6. Renames: the host holds off dispatching for 12 s; a second in, 3000 alives a second for
#    10 s from the renaming robot's address, in its name, each with a new boot id.
simlan_start_more_sim $RENAMER_DEVICE "$prefix/bin/seekwell-robot-sim" --robots 1 --fault 1:renames \
    --udn "1:$RENAMER_UDN" --log "$E2E_WORK/traffic-renamer.log" --duration $SIM_LIFETIME_S || exit 1
renamer_sim=$SIMLAN_MORE_SIM_PID
live watch $WATCH_PERIOD_MS $((RENAMER_HOLD_MS + 500)) $RENAMER_HOLD_MS "$SIMLAN_CLIENT_IF" \
    >"$E2E_WORK/renames.out" 2>&1 &
watcher=$!
sleep 1
start_forger renames "$SIMLAN_ROBOT_NS" "$SIMLAN_ROBOT_IF" --notify alive --source "$renamer" \
    --usn "$RENAMER_UDN::upnp:rootdevice" --boot-id-each --rate $RENAMER_RATE --duration-ms $RENAMER_FLOOD_MS || exit 1
await_forgers
reads=$(gets "$renamer" traffic-renamer.log)
wait $watcher
waiting=$(sed -n '/^held /,/^dispatched /p' "$E2E_WORK/renames.out")
read -r rss_start rss_1s rss_end hwm < <(e2e_value "$E2E_WORK/renames.out" held_memory | awk '{ print $2, $4, $6, $8 }')
echo "== renames: $(report_value renames forged_notifies) alives in $(report_value renames forged_seconds) s," \
    "refused $(report_value renames forged_failed); reads of $renamer: $reads;" \
    "resident kB at the start $rss_start, 1 s in $rss_1s, at the hold's end $rss_end, peak $hwm"
grep -E "^(held|dispatched|ROBOT .* $renamer|GONE .* $renamer|DONE) " "$E2E_WORK/renames.out"
expect_equal "renames: alives forged" "$(report_value renames forged_notifies)" \
    $((RENAMER_RATE * RENAMER_FLOOD_MS / 1000))
expect_true "renames: $reads reads of the robot, from 5 to $((RENAMER_HOLD_MS / WATCH_PERIOD_MS + 2))" \
    test "$reads" -ge 5 -a "$reads" -le $((RENAMER_HOLD_MS / WATCH_PERIOD_MS + 2))
expect_equal "renames: ROBOT and GONE events waiting for the robot" \
    "$(grep -c "^ROBOT .* $renamer " <<<"$waiting") $(grep -c "^GONE .* $renamer " <<<"$waiting")" "1 0"
# Reads after the flood's end would only raise the number.
named=$(sed -n "s/^ROBOT .*#\([0-9]*\)\" $renamer .*/\1/p" <<<"$waiting" | tail -n 1)
expect_true "renames: the waiting ROBOT tells the latest name: #${named:-none}, $reads reads by the flood's end" \
    test "${named:-0}" -ge "$reads"
# A second in, the first reads have loaded what fetching needs.
growth=$((${rss_end:-999999999} - ${rss_1s:-0}))
if [ "$(e2e_value "$E2E_WORK/renames.out" sanitizer)" = 0 ]; then
    expect_true "renames: resident memory grew by $growth kB over the hold, at most $RENAMER_MEMORY_LIMIT_KB" \
        test $growth -le $RENAMER_MEMORY_LIMIT_KB
else
    echo "renames: memory not judged: the host runs under a sanitizer (grew by $growth kB)"
fi
kill "$web_sim" "$renamer_sim" && wait "$web_sim" "$renamer_sim" 2>/dev/null

# 7. The client on the LAN by two links: the robots answer the search of each.
kill "$SIMLAN_SIM_PID" && wait "$SIMLAN_SIM_PID" 2>/dev/null
SIMLAN_SIM_PID=
simlan_add_bridged_client_link $SECOND_LINK $SECOND_ADDRESS || exit 1
start_sim two-links || exit 1
live events $TWO_LINKS_WINDOW_MS >"$E2E_WORK/two-links.out" 2>&1
echo "== two-links"
cat "$E2E_WORK/two-links.out"
expect_true "two-links: the search went out by $SECOND_LINK too" grep -q "^ssdp from=$SECOND_ADDRESS:" \
    "$E2E_WORK/traffic-two-links.log"
# A robot's description is fetched by the link its reply came in on, from that link's address.
while read -r address link; do
    [ "$link" = "$SECOND_LINK" ] && own=$SECOND_ADDRESS || own=$SIMLAN_CLIENT_ADDRESS
    expect_equal "two-links: $address reported on $link, its description fetched from" \
        "$(sed -n "s/^http to=$address from=\([0-9.]*\):.*/\1/p" "$E2E_WORK/traffic-two-links.log" | sort -u)" "$own"
done < <(grep '^ROBOT ' "$E2E_WORK/two-links.out" | awk '{ print $(NF - 2), $NF }')
for ((i = 1; i <= ROBOTS; i++)); do
    address=$(simlan_device_address $i)
    expect_equal "two-links: ROBOT events for robot $i ($address)" "$(robot_count "$E2E_WORK/two-links.out" "$address")" 1
    expect_equal "two-links: reasons robot $i ($address) was left out for" "$(reasons_for "$E2E_WORK/two-links.out" "$address")" ""
done
expect_equal "two-links: the end (reason, error)" "$(done_of "$E2E_WORK/two-links.out")" "1 0"

e2e_finish
