#!/usr/bin/env bash
# The live search against the blocking call, on a quiet simulated LAN of 16 robots and 50 other
# UPnP devices inside private network namespaces, all from one C measuring host
# (bench/live_measure.c) that loads an installed copy of the library alone (the built-in path).
# Each round runs, one after the other, each in a process of its own:
#   - a 10 s live search with a packet capture on the client's interface: when each robot's
#     ROBOT event reached the host after the start, and after the robot's first SSDP reply;
#   - the same search without the capture, for its CPU;
#   - the blocking call DiscoveryROVAByUPnP, for its time and CPU;
#   - the same three again as the second search of their process, after a 1 s live search (the
#     first search of a process loads libcurl, which the live search and the call share);
#   - a live search whose 16 description fetches hang: in the robot namespace a policy-routing
#     rule drops every TCP segment the robots send from port 80, so each connection attempt
#     goes unanswered; once the 16 connections are pending, 300 ms more, then a cancel from
#     another thread, timed to DONE;
#   - a watch (window 0, a search every 15 s) for 20 s, counting the context switches of the
#     library's thread between its searches.
# Rounds are interleaved, so a change of load on the shared machine falls on all alike. After
# the rounds, one watch under strace lists the syscalls of the library's thread between its
# searches. Not a test: it reports figures. Run as root.
#
#   bench/e2e_live.sh [RUNS]      (default 5 rounds, ~85 s each, plus ~25 s for the strace run)
#   BENCH_BUILD=DIR bench/e2e_live.sh [RUNS]   (the build to use, default ./build; configured and
#                                               built when its measuring host is missing)
source "$(dirname "$0")/e2e_lib.sh"

usage() {
    echo "usage: [BENCH_BUILD=DIR] $0 [RUNS]"
    echo "  as root; RUNS interleaved rounds (default 5, ~85 s each), then one watch under strace;"
    echo "  DIR is the build to use (default $ROOT/build), built when its measuring host is missing"
}
case ${1:-} in
    -h | --help)
        usage
        exit 0
        ;;
esac
[[ ${1:-5} =~ ^[1-9][0-9]*$ ]] || {
    usage >&2
    exit 1
}
readonly RUNS=${1:-5}
readonly LIVE_MEASURE="$BENCH_BUILD/bench/seekwell-live-measure"
# The cancel waits until this many fetches are pending, then SETTLE_MS more.
readonly HELD_FETCHES=$BENCH_ROBOTS
readonly SETTLE_MS=300
readonly WATCH_PERIOD_MS=15000
# Marks of the watch, ms after its start: the first round's sends go at 0 and 1000 ms and
# its fetches follow at once; the second round starts at WATCH_PERIOD_MS.
readonly WATCH_MARKS_MS=(0 2000 8000 14800 20000)
readonly QUIET_FROM_MS=2000
readonly QUIET_TO_MS=14800
# The first search of a warm process.
readonly WARM_UP_MS=1000
# Preference of the rule that makes the robots' HTTP ports silent.
readonly HOLD_RULE_PREF=100

simlan_can_run || exit 1
[ -x "$LIVE_MEASURE" ] || configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
[ -x "$LIVE_MEASURE" ] || {
    echo "$LIVE_MEASURE was not built: the benchmarks need libbenchmark-dev (-DROVA_BUILD_BENCHMARKS=ON)" >&2
    exit 1
}
bench_quiet_lan live

# measure OUTPUT ARGS...: the measuring host in the client namespace with the installed library.
measure() {
    local out=$1
    shift
    LD_LIBRARY_PATH="$BENCH_LIBRARY_DIR" simlan_client "$LIVE_MEASURE" "$@" >"$out"
    grep -q "^library $BENCH_LIBRARY_DIR/libseekwell.so" "$out" || {
        echo "the measuring host did not load the library in $BENCH_LIBRARY_DIR:" >&2
        cat "$out" >&2
        exit 1
    }
}

# hold_fetches add|del: whether the robots' SYN-ACKs (and so every connection to them) are dropped.
hold_fetches() {
    local i
    for ((i = 1; i <= BENCH_ROBOTS; i++)); do
        simlan_robots ip rule "$1" pref $HOLD_RULE_PREF from "$(simlan_device_address $i)" ipproto tcp sport 80 blackhole
    done
}

ms_of_us() {
    awk -v us="$1" -v places="${2:-1}" 'BEGIN { printf "%." places "f", us / 1000 }'
}

# record_live NAME OUTPUT: the figures of one live search.
record_live() {
    local name=$1 out=$2
    bench_record "$name.robots" "$(bench_value "$out" robots)"
    bench_record "$name.done" "$(ms_of_us "$(bench_value "$out" done_us)")"
    bench_record "$name.cpu" "$(ms_of_us "$(bench_value "$out" cpu_us)" 2)"
    bench_record "$name.cpu_host" "$(ms_of_us "$(bench_value "$out" host_thread_cpu_us)" 2)"
    # Over the robots of this run: the first, the median and the last ROBOT event after the
    # start, and the median and largest time from a robot's first reply to its event.
    awk '
        $1 == "robot" { at[++n] = $3; if ($4 >= 0) { late[++m] = $3 - $4; reply[m] = $4 } }
        END {
            sort(at, n); sort(late, m); sort(reply, m)
            printf "%.1f %.1f %.1f", at[1] / 1000, median(at, n) / 1000, at[n] / 1000
            if (m > 0) printf " %.2f %.2f %.2f", median(late, m) / 1000, late[m] / 1000, reply[1] / 1000
            printf "\n"
        }
        function sort(v, k,    i, j, t) {
            for (i = 2; i <= k; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        }
        function median(v, k) { return (k % 2) ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2 }
    ' "$out" | {
        read -r first middle last lateMedian lateMax firstReply
        bench_record "$name.first" "$first"
        bench_record "$name.median" "$middle"
        bench_record "$name.last" "$last"
        if [ -n "${lateMedian:-}" ]; then
            bench_record "$name.late_median" "$lateMedian"
            bench_record "$name.late_max" "$lateMax"
            bench_record "$name.first_reply" "$firstReply"
            bench_record "$name.senders" "$(bench_value "$out" replies_from)"
        fi
    }
}

record_blocking() {
    local name=$1 out=$2
    bench_record "$name.robots" "$(bench_value "$out" result)"
    bench_record "$name.done" "$(ms_of_us "$(bench_value "$out" elapsed_us)")"
    bench_record "$name.cpu" "$(ms_of_us "$(bench_value "$out" cpu_us)" 2)"
    bench_record "$name.cpu_host" "$(ms_of_us "$(bench_value "$out" host_thread_cpu_us)" 2)"
}

record_cancel() {
    local out=$1
    bench_record cancel.to_done "$(ms_of_us "$(bench_value "$out" cancel_to_done_us)" 2)"
    bench_record cancel.at "$(ms_of_us "$(bench_value "$out" cancel_at_us)")"
    bench_record cancel.in_flight "$(bench_value "$out" in_flight | cut -d ' ' -f 1)"
    bench_record cancel.syn_sent "$(bench_value "$out" in_flight | cut -d ' ' -f 3)"
    bench_record cancel.reason "$(bench_value "$out" done_reason)"
    bench_record cancel.robots "$(bench_value "$out" robots)"
    bench_record cancel.left "$(bench_value "$out" connections_after_free)"
}

# watch_stretches OUTPUT: one line per stretch between two marks: FROM TO, then the library
# threads' voluntary and involuntary switches, the host thread's voluntary switches, the
# process's CPU (us), the library threads' time on the CPU (us) and how many library threads
# there were at the stretch's end. A thread counts where it is seen at both marks.
watch_stretches() {
    awk '
        $1 == "mark" { k++; mark[k] = $2; cpu[k] = $8; next }
        $1 == "task" { role[$2] = $3; vol[k, $2] = $5; inv[k, $2] = $7; run[k, $2] = $9; seen[k, $2] = 1 }
        END {
            for (i = 1; i < k; i++) {
                lv = li = hv = lr = threads = 0
                for (key in seen) {
                    split(key, part, SUBSEP)
                    if (part[1] != i + 1) continue
                    tid = part[2]
                    if (role[tid] == "library") threads++
                    if (!((i, tid) in seen)) continue
                    if (role[tid] == "library") {
                        lv += vol[i + 1, tid] - vol[i, tid]; li += inv[i + 1, tid] - inv[i, tid]
                        lr += run[i + 1, tid] - run[i, tid]
                    } else {
                        hv += vol[i + 1, tid] - vol[i, tid]
                    }
                }
                printf "%d %d %d %d %d %d %d %d\n", mark[i], mark[i + 1], lv, li, hv, cpu[i + 1] - cpu[i], lr / 1000, threads
            }
        }' "$1"
}

record_watch() {
    local out=$1 from to lv li hv cpu run threads quietSwitches=0 quietHost=0 quietCpu=0 quietRun=0
    while read -r from to lv li hv cpu run threads; do
        bench_record "watch.$from-$to.library" $((lv + li))
        bench_record "watch.$from-$to.library_inv" "$li"
        bench_record "watch.$from-$to.host" "$hv"
        bench_record "watch.$from-$to.cpu" "$(ms_of_us "$cpu" 2)"
        bench_record "watch.$from-$to.run" "$(ms_of_us "$run" 2)"
        bench_record "watch.$from-$to.threads" "$threads"
        if [ "$from" -ge $QUIET_FROM_MS ] && [ "$to" -le $QUIET_TO_MS ]; then
            quietSwitches=$((quietSwitches + lv + li))
            quietHost=$((quietHost + hv))
            quietCpu=$((quietCpu + cpu))
            quietRun=$((quietRun + run))
        fi
    done < <(watch_stretches "$out")
    bench_record watch.quiet.library $quietSwitches
    bench_record watch.quiet.host $quietHost
    bench_record watch.quiet.cpu "$(ms_of_us $quietCpu 2)"
    bench_record watch.quiet.run "$(ms_of_us $quietRun 2)"
    bench_record watch.robots "$(bench_value "$out" robots)"
}

# row LABEL SERIES... : one markdown row, one cell per series ("-" where it is empty).
row() {
    local label=$1 series cells=""
    shift
    for series in "$@"; do
        if [ -s "$(bench_series "$series")" ]; then
            cells+=" $(bench_stats "$(bench_series "$series")" 2) |"
        else
            cells+=" - |"
        fi
    done
    echo "| $label |$cells"
}

# ratio_row LABEL A B: A over B, run by run, as "median (min..max)".
ratio_row() {
    local ratios="$BENCH_WORK/ratios"
    paste "$(bench_series "$2")" "$(bench_series "$3")" | awk '$2 > 0 { printf "%.3f\n", $1 / $2 }' >"$ratios"
    echo "| $1 | $(bench_stats "$ratios" 3) |"
}

# strace_stretch TRACE OUTPUT FROM_MS TO_MS: the syscalls that the library's thread entered between
# two marks of a watch run under strace, by name.
strace_stretch() {
    local trace=$1 out=$2 library from to
    library=$(awk '$1 == "task" && $3 == "library" { print $2; exit }' "$out")
    from=$(awk -v m="$3" '$1 == "mark" && $2 == m { printf "%.6f", $6 / 1e6 }' "$out")
    to=$(awk -v m="$4" '$1 == "mark" && $2 == m { printf "%.6f", $6 / 1e6 }' "$out")
    awk -v tid="$library" -v from="$from" -v to="$to" -v label="$3 to $4 ms" '
        $1 == tid && $2 >= from && $2 <= to && $3 !~ /^<\.\.\./ { split($3, name, "("); n[name[1]]++; total++ }
        END {
            printf "  %s: %d syscalls entered by the library thread", label, total
            for (s in n) printf "; %s %d", s, n[s]
            printf "\n"
        }' "$trace"
}

bench_machine
echo "load average (1 min) before: $(bench_load)"
for ((run = 1; run <= RUNS; run++)); do
    measure "$BENCH_WORK/capture.$run" live $BENCH_WINDOW_MS "$SIMLAN_CLIENT_IF"
    record_live capture "$BENCH_WORK/capture.$run"
    measure "$BENCH_WORK/live.$run" live $BENCH_WINDOW_MS
    record_live live "$BENCH_WORK/live.$run"
    measure "$BENCH_WORK/blocking.$run" blocking
    record_blocking blocking "$BENCH_WORK/blocking.$run"
    measure "$BENCH_WORK/warm-capture.$run" live $BENCH_WINDOW_MS "$SIMLAN_CLIENT_IF" $WARM_UP_MS
    record_live warm-capture "$BENCH_WORK/warm-capture.$run"
    measure "$BENCH_WORK/warm-live.$run" live $BENCH_WINDOW_MS - $WARM_UP_MS
    record_live warm-live "$BENCH_WORK/warm-live.$run"
    measure "$BENCH_WORK/warm-blocking.$run" blocking $WARM_UP_MS
    record_blocking warm-blocking "$BENCH_WORK/warm-blocking.$run"
    hold_fetches add
    measure "$BENCH_WORK/cancel.$run" cancel $HELD_FETCHES $SETTLE_MS
    hold_fetches del
    record_cancel "$BENCH_WORK/cancel.$run"
    measure "$BENCH_WORK/watch.$run" watch $WATCH_PERIOD_MS "${WATCH_MARKS_MS[@]}"
    record_watch "$BENCH_WORK/watch.$run"
    bench_record load "$(bench_load)"
    echo "round $run of $RUNS done, load $(bench_load)" >&2
done
echo "load average (1 min) after: $(bench_load)"
echo

echo "first search of the process: columns live with the reply capture, live, blocking call;"
echo "second search of the process (after a ${WARM_UP_MS} ms live search): the same three. The blocking"
echo "call reports every robot at its return."
columns=(capture live blocking warm-capture warm-live warm-blocking)
echo "| measure (median (min..max) over $RUNS runs) | $(printf '%s | ' "${columns[@]}")"
echo "|---|---|---|---|---|---|---|"
row "robots reported" capture.robots live.robots blocking.robots warm-capture.robots warm-live.robots warm-blocking.robots
row "first robot after the start (ms)" capture.first live.first blocking.done warm-capture.first warm-live.first warm-blocking.done
row "median robot after the start (ms)" capture.median live.median blocking.done warm-capture.median warm-live.median warm-blocking.done
row "last robot after the start (ms)" capture.last live.last blocking.done warm-capture.last warm-live.last warm-blocking.done
row "first SSDP reply after the start (ms)" capture.first_reply - - warm-capture.first_reply
row "robot's first reply to its ROBOT event, median of the 16 (ms)" capture.late_median - - warm-capture.late_median
row "robot's first reply to its ROBOT event, largest of the 16 (ms)" capture.late_max - - warm-capture.late_max
row "senders of SSDP replies captured" capture.senders - - warm-capture.senders
row "DONE, or the call's return, after the start (ms)" capture.done live.done blocking.done warm-capture.done warm-live.done warm-blocking.done
row "CPU user+sys of the process, start to free / the call (ms)" capture.cpu live.cpu blocking.cpu warm-capture.cpu warm-live.cpu warm-blocking.cpu
row "of which on the host's (calling) thread (ms)" capture.cpu_host live.cpu_host blocking.cpu_host warm-capture.cpu_host warm-live.cpu_host warm-blocking.cpu_host
echo
echo "| ratio, run by run (median (min..max) over $RUNS runs) | |"
echo "|---|---|"
ratio_row "CPU, live / blocking call, first search of the process" live.cpu blocking.cpu
ratio_row "CPU, live / blocking call, second search of the process" warm-live.cpu warm-blocking.cpu
ratio_row "CPU, live with the capture / live, first search" capture.cpu live.cpu
ratio_row "CPU, live with the capture / live, second search" warm-capture.cpu warm-live.cpu
ratio_row "last robot, live / blocking call's return, first search" live.last blocking.done
echo
echo "| cancel with $HELD_FETCHES fetches held (median (min..max) over $RUNS runs) | |"
echo "|---|---|"
row "connections to port 80 at the cancel" cancel.in_flight
row "of which still connecting (SYN sent)" cancel.syn_sent
row "cancel after the start (ms)" cancel.at
row "cancel to DONE in the host's callback (ms)" cancel.to_done
row "DONE's reason (2: cancelled)" cancel.reason
row "robots reported" cancel.robots
row "connections to port 80 left after free" cancel.left
echo
echo "| watch, window 0, period $WATCH_PERIOD_MS ms (median (min..max) over $RUNS runs) | library thread's switches | of which involuntary | host thread's voluntary switches (in seekwell_search_wait) | process CPU (ms) | library thread on the CPU (ms) | library threads |"
echo "|---|---|---|---|---|---|---|"
for ((i = 0; i + 1 < ${#WATCH_MARKS_MS[@]}; i++)); do
    s="watch.${WATCH_MARKS_MS[i]}-${WATCH_MARKS_MS[i + 1]}"
    row "${WATCH_MARKS_MS[i]} to ${WATCH_MARKS_MS[i + 1]} ms" $s.library $s.library_inv $s.host $s.cpu $s.run $s.threads
done
row "between searches, $QUIET_FROM_MS to $QUIET_TO_MS ms" watch.quiet.library - watch.quiet.host watch.quiet.cpu watch.quiet.run
row "robots reported by the watch" watch.robots
echo
echo "round by round (load average at the round's end):"
paste -d ' ' <(seq "$RUNS") "$(bench_series load)" "$(bench_series capture.first)" "$(bench_series warm-capture.first)" \
    "$(bench_series live.cpu)" "$(bench_series blocking.cpu)" "$(bench_series warm-live.cpu)" \
    "$(bench_series warm-blocking.cpu)" "$(bench_series cancel.to_done)" "$(bench_series watch.quiet.library)" |
    awk 'BEGIN { print "  round load first-robot-ms(first,second search) cpu-ms(live,blocking; second: live,blocking) cancel-ms quiet-switches" }
         { printf "  %s %s %s,%s %s,%s; %s,%s %s %s\n", $1, $2, $3, $4, $5, $6, $7, $8, $9, $10 }'
echo

if command -v strace >/dev/null; then
    LD_LIBRARY_PATH="$BENCH_LIBRARY_DIR" simlan_client strace -f -qq -ttt -o "$BENCH_WORK/watch.strace" \
        "$LIVE_MEASURE" watch $WATCH_PERIOD_MS "${WATCH_MARKS_MS[@]}" >"$BENCH_WORK/watch.traced"
    echo "one watch under strace -f (period $WATCH_PERIOD_MS ms):"
    for ((i = 0; i + 1 < ${#WATCH_MARKS_MS[@]}; i++)); do
        strace_stretch "$BENCH_WORK/watch.strace" "$BENCH_WORK/watch.traced" "${WATCH_MARKS_MS[i]}" "${WATCH_MARKS_MS[i + 1]}"
    done
else
    echo "strace is not installed: no syscall listing"
fi
