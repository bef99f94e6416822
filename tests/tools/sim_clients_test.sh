#!/usr/bin/env bash
# The simulator across the namespaces, seen by independent UPnP clients: gssdp-discover hears
# every device answer the multicast search by unicast, and a GUPnP control point accepts the
# descriptions.
#
#   sim_clients_test.sh SIMULATOR [GUPNP-PROBE]
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
simulator=$1
probe=${2:-}
e2e_require_lan
if ! command -v gssdp-discover >/dev/null; then
    echo "SKIP: gssdp-discover is missing (Debian package gupnp-tools)" >&2
    exit $E2E_SKIP
fi

readonly LISTEN_SECONDS=2

simlan_create "$E2E_LAN_NAME" 3 || exit 1
simlan_start_sim "$simulator" --robots 2 --others 1 --fault 2:no-marker --log "$E2E_WORK/traffic.log" "${E2E_SIM_LIFETIME[@]}" || exit 1

simlan_client timeout $((LISTEN_SECONDS + 5)) gssdp-discover -i "$SIMLAN_CLIENT_IF" -n $LISTEN_SECONDS \
    -t upnp:rootdevice >"$E2E_WORK/found.txt"
cat "$E2E_WORK/found.txt"
expect_equal "locations heard" "$(sed -n 's/^ *Location: *//p' "$E2E_WORK/found.txt" | sort -u)" "$(cat <<'LIST'
http://192.0.2.10/ROVA.XML
http://192.0.2.11/ROVA.XML
http://192.0.2.12/description.xml
LIST
)"
expect_equal "names announced" "$(sed -n 's/^ *USN: *uuid:\([^-]*\)-.*/\1/p' "$E2E_WORK/found.txt" | sort -u | tr '\n' ' ')" \
    "5e1d0000 R0VA "
expect_true "the search was logged with its sender" \
    grep -q "^ssdp from=$SIMLAN_CLIENT_ADDRESS:[0-9]* bytes=[0-9]* data=\"M-SEARCH \\* HTTP/1.1" "$E2E_WORK/traffic.log"

# GUPnP fetches and parses each description. The robot without marker is not among them: the UDN
# it announces is not the one its description holds.
if [ -n "$probe" ]; then
    # The probe only shows what GUPnP accepts; GLib is not built with sanitizers, and what they
    # would say about it (its type system kept until exit, its thread pool) is not ours to judge.
    ASAN_OPTIONS=detect_leaks=0 TSAN_OPTIONS=report_bugs=0 simlan_client "$probe" $LISTEN_SECONDS >"$E2E_WORK/gupnp.txt"
    expect_equal "devices GUPnP accepted" "$(sed -n 's/^device //p' "$E2E_WORK/gupnp.txt" | sort)" "$(cat <<'LIST'
Media player 1|Network media player (simulated)|http://192.0.2.12/index.html|uuid:5e1d0000-5151-4000-8000-0000c000020c
ROVA robot 1|ROVA home robot (simulated)|http://192.0.2.10/index.html|uuid:R0VA-5151-4000-8000-0000c000020a
LIST
)"
else
    echo "built without GUPnP: its check is left out"
fi

e2e_finish
