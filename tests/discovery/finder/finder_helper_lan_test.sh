#!/usr/bin/env bash
# The finder helper searching a private simulated LAN: the devices arrive in its stream, each once,
# with the page each names (none for a device whose presentation element is empty), and the helper
# exits 0 soon after its window, though one device never answers its description request and
# another answers with broken XML full of terminal escape codes. Its standard descriptors are
# /dev/null, as the library starts it: what the UPnP stack logs there does not matter.
#
#   finder_helper_lan_test.sh HELPER SIMULATOR
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
helper=$1
simulator=$2
e2e_require_lan

readonly WINDOW_MS=3000
# Start-up, teardown and the namespace switch on top of the window.
readonly ALLOWANCE_MS=1500
# Robot 2 shows its page elsewhere, robot 3 names none; then one device that is no robot.
readonly ROBOTS=3
readonly OTHERS=1
# After them, on addresses of their own, the hostile devices.
source "$(dirname "$0")/hostile_devices.sh"
readonly HOSTILE_LIFETIME_S=30

# decode_stream FILE: one line per device, "name|page|description", sorted; fails on a stream that
# breaks its format.
decode_stream() {
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
assert data[:5] == b'SWFS\x01', 'magic'
offset, rows = 5, []
while data[offset:offset + 1] == b'D':
    offset += 1
    fields = []
    for _ in range(3):
        (length,) = struct.unpack_from('<I', data, offset)
        offset += 4
        fields.append(data[offset:offset + length].decode())
        offset += length
    rows.append('|'.join(fields))
assert data[offset:offset + 1] == b'E', 'end frame'
(count,) = struct.unpack_from('<I', data, offset + 1)
assert count == len(rows) and offset + 5 == len(data), 'count or trailing bytes'
print('\n'.join(sorted(rows)))
PY
}

simlan_create "$E2E_LAN_NAME" $((ROBOTS + OTHERS + ${#HOSTILE_MODES[@]})) || exit 1
simlan_start_sim "$simulator" --robots $ROBOTS --others $OTHERS \
    --fault 2:page-elsewhere --fault 3:no-page "${E2E_SIM_LIFETIME[@]}" || exit 1
hostile_devices_start $((ROBOTS + OTHERS + 1)) $HOSTILE_LIFETIME_S

started=$(date +%s%3N)
simlan_client "$helper" --search 3>"$E2E_WORK/stream" >/dev/null 2>&1 <<<"upnp:rootdevice $WINDOW_MS"
status=$?
elapsed=$(($(date +%s%3N) - started))

expect_equal "exit status" "$status" 0
expect_true "search lasted its window ($elapsed ms)" test "$elapsed" -ge $WINDOW_MS
expect_true "search ended soon after its window ($elapsed ms)" test "$elapsed" -lt $((WINDOW_MS + ALLOWANCE_MS))
expect_equal "devices in the stream" "$(decode_stream "$E2E_WORK/stream")" "$(cat <<'LIST'
Media player 1|http://192.0.2.13/index.html|Network media player (simulated)
ROVA robot 1|http://192.0.2.10/index.html|ROVA home robot (simulated)
ROVA robot 2|http://192.0.2.11:8080/app/|ROVA home robot (simulated)
ROVA robot 3||ROVA home robot (simulated)
LIST
)"
e2e_finish
