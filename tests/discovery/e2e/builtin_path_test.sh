#!/usr/bin/env bash
# The installed libseekwell, copied alone into a fresh folder, loaded by a C host inside a
# private client namespace; a robot namespace runs simulated robots (some misbehaving) and other
# devices. One 10-second search, many checks.
#
#   builtin_path_test.sh INSTALL-PREFIX HOST-PROGRAM
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
e2e_require_lan

readonly SEARCH_WINDOW_MS=10000
# Local fetches are quick; more than this after the window means something waited for nothing.
readonly FETCH_ALLOWANCE_MS=5000
readonly ROBOTS=11
readonly OTHERS=2
readonly MSEARCH='M-SEARCH * HTTP/1.1\r\nHost:239.255.255.250:1900\r\nST:upnp:rootdevice\r\nMan:\"ssdp:discover\"\r\nMX:10\r\n\r\n'

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
simlan_create "$E2E_LAN_NAME" $((ROBOTS + OTHERS)) || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS --others $OTHERS \
    --fault 3:no-http --fault 4:no-marker --fault 5:bad-location --fault 6:other-scheme \
    --fault 7:wrong-udn --fault 8:error-status --fault 9:huge-body --fault 10:nul-body \
    --log "$E2E_WORK/traffic.log" "${E2E_SIM_LIFETIME[@]}" || exit 1

simlan_client "$host" "$alone/libseekwell.so.2" >"$E2E_WORK/host.out"
expect_equal "host exit status (sanitizers report through it)" "$?" 0
cat "$E2E_WORK/host.out"

# The built-in path ran: the library came from the lone copy, with no helper folder beside it.
expect_equal "library loaded" "$(e2e_value "$E2E_WORK/host.out" library)" "$alone/libseekwell.so.2"
expect_true "no helper folder beside the lone copy" test ! -e "$alone/seekwell"
# libcurl comes in with the first search, not with the library.
expect_equal "libcurl mapped after loading" "$(e2e_value "$E2E_WORK/host.out" libcurl_after_load)" no
expect_equal "libcurl mapped after the search" "$(e2e_value "$E2E_WORK/host.out" libcurl_after_call)" yes

# Robots in the order they answered; the error status still counts, since the status is not
# examined; a huge body is read only as far as needed. No marker, a bad location, a wrong UDN,
# a NUL before the UDN and a missing HTTP server are not reported, nor are the other devices.
expect_equal "records" "$(grep -E '^(result|record|untouched) ' "$E2E_WORK/host.out")" "$(cat <<'LIST'
result 5
record 0 "ROVA robot 1" "192.0.2.10"
record 1 "ROVA robot 2" "192.0.2.11"
record 2 "ROVA robot 8" "192.0.2.17"
record 3 "ROVA robot 9" "192.0.2.18"
record 4 "ROVA robot 11" "192.0.2.20"
untouched yes
LIST
)"

elapsed=$(e2e_value "$E2E_WORK/host.out" elapsed_ms)
expect_true "the call lasted the whole window ($elapsed ms)" test "${elapsed:-0}" -ge $SEARCH_WINDOW_MS
expect_true "the call ended soon after the window ($elapsed ms)" \
    test "${elapsed:-0}" -le $((SEARCH_WINDOW_MS + FETCH_ALLOWANCE_MS))

# Exactly one M-SEARCH, the 98 bytes, from port 1900 of the client.
expect_equal "datagrams received" "$(grep '^ssdp ' "$E2E_WORK/traffic.log")" \
    "ssdp from=$SIMLAN_CLIENT_ADDRESS:1900 bytes=98 data=\"$MSEARCH\""

# One fetch per responder whose reply qualified, in slot order, each a plain GET of ROVA.XML
# with the library's user agent. 192.0.2.12 has no HTTP server and so logs nothing.
expect_equal "description fetches" "$(sed -n 's/^http to=\([0-9.]*\) .*/\1/p' "$E2E_WORK/traffic.log" | tr '\n' ' ')" \
    "192.0.2.10 192.0.2.11 192.0.2.16 192.0.2.17 192.0.2.18 192.0.2.19 192.0.2.20 "
expect_equal "fetches that are not GET /ROVA.XML by 'ROVA Session'" \
    "$(grep '^http ' "$E2E_WORK/traffic.log" | grep -v 'data="GET /ROVA.XML HTTP/1.1\\r\\n' ; \
       grep '^http ' "$E2E_WORK/traffic.log" | grep -vi 'User-Agent: ROVA Session\\r\\n')" ""

e2e_finish
