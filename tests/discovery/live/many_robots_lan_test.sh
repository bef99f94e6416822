#!/usr/bin/env bash
# A LAN of 256 robots answering each search at once, through the installed library, with receive
# buffers a quarter of a kernel's default (the search reads fast enough to empty the default one
# before 256 replies fill it; a thousand robots fill it): the kernel drops replies, and the live
# search still reports every robot within its window, the lost learnt again from the devices the
# neighbour table knows; the blocking call still returns its 16 records in its time.
#
#   many_robots_lan_test.sh INSTALL-PREFIX LIVE-HOST E2E-HOST RECEIVE-BUFFER-SHIM
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
live_host=$2
e2e_host=$3
shim=$4
e2e_require_lan

readonly ROBOTS=256
readonly SUBNET=198.18.8.0/21
readonly WINDOW_MS=10000
readonly SMALL_RMEM=$((212992 / 4))
# The blocking call's window, then 16 descriptions read on one LAN.
readonly BLOCKING_LIMIT_MS=12000
readonly RECORDS=16

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create_subnet "$E2E_LAN_NAME" $SUBNET $ROBOTS || exit 1
# A robot that replied had to learn the host's address first, and the host learnt its: pinned
# here, so that the test does not hang on how fast ARP is.
simlan_pin_neighbours || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS "${E2E_SIM_LIFETIME[@]}" || exit 1

# The client's count of datagrams dropped for want of room.
receive_buffer_errors() {
    simlan_client cat /proc/net/snmp | awk '$1 == "Udp:" && !named { for (i = 2; i <= NF; i++) at[$i] = i; named = 1; next }
        $1 == "Udp:" { print $at["RcvbufErrors"] }'
}

small_buffers=(env LD_PRELOAD="$shim" SEEKWELL_BENCH_RMEM_DEFAULT=$SMALL_RMEM SEEKWELL_BENCH_RMEM_MAX=$SMALL_RMEM)
out="$E2E_WORK/live.out"
dropped_before=$(receive_buffer_errors)
simlan_client "${small_buffers[@]}" LD_LIBRARY_PATH="$alone" "$live_host" events $WINDOW_MS >"$out" 2>&1
grep -E '^(DROPPED|DONE)' "$out"
dropped=$(($(receive_buffer_errors) - dropped_before))
expect_true "the kernel dropped replies for want of room ($dropped)" test $dropped -gt 0
expect_equal "every robot reported, each once" "$(grep -c '^ROBOT ' "$out") $(awk '$1 == "UDN" { print $3 }' "$out" |
    sort -u | wc -l)" "$ROBOTS $ROBOTS"
expect_equal "nothing told lost" "$(grep -c '^DROPPED ' "$out")" 0

out="$E2E_WORK/blocking.out"
simlan_client "${small_buffers[@]}" "$e2e_host" "$alone/libseekwell.so.2" >"$out" 2>&1
expect_equal "the blocking call: its records" "$(sed -n 's/^result //p' "$out")" $RECORDS
elapsed=$(sed -n 's/^elapsed_ms //p' "$out")
expect_true "the blocking call: returned in ${elapsed:-?} ms (at most $BLOCKING_LIMIT_MS)" \
    test -n "$elapsed" -a "${elapsed:-0}" -le $BLOCKING_LIMIT_MS
e2e_finish
