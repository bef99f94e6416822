#!/usr/bin/env bash
# Robots named by the simulator's --name on a private LAN: a Japanese name with XML's special
# characters (which the description escapes), one with ESC and BEL, one with a Latin-1 byte and
# one of 4000 bytes. seekwell-discover's finder path (the blocking
# call with its helper) and its live search give each robot the same name, byte for byte: invalid
# bytes as U+FFFD, no control character, a long name cut at the same character's end. The table
# pads names to its 40-column cap and gives the long one a row of its own; --explain tells the
# robot whose description is plain text left out, with its status 200.
#
#   discover_names_test.sh SEEKWELL-DISCOVER SIMULATOR
set -u
source "$(dirname "$0")/../support/e2e_common.sh"
discover=$1
simulator=$2

readonly ROBOTS=5
readonly NOT_XML=5
readonly NAMED=$((ROBOTS - 1))
# The index column, the name column at its cap and the gap before the address.
readonly ADDRESS_COLUMN=46
readonly LIVE_WINDOW_S=5
# Three bytes each, so that the 2047 bytes a name keeps end inside one: 682 are kept whole.
readonly LONG_CHARACTER=ロ
readonly LONG_KEPT=682

e2e_require_lan
library=$(ldd "$discover" | awk '/libseekwell\.so/ { print $3 }')
if [ ! -x "$(dirname "$library")/seekwell/seekwell-finder-gupnp" ]; then
    echo "SKIP: no finder helper beside $library (it is built only with GUPnP 1.6)" >&2
    exit $E2E_SKIP
fi

repeat() { printf "$1%.0s" $(seq "$2"); }
simlan_create "$E2E_LAN_NAME" $ROBOTS || exit 1
simlan_start_sim "$simulator" --robots $ROBOTS --fault $NOT_XML:not-xml --name '1:ロボット & <一号>' \
    --name '2:Bell\x07 and \x1b[31mred' --name '3:Caf\xe9 robot' \
    --name "4:$(repeat $LONG_CHARACTER 1333)x" "${E2E_SIM_LIFETIME[@]}" || exit 1

# run_discover NAME ARGS...: the tool on the client, its output in $E2E_WORK/NAME.out.
run_discover() {
    simlan_client env LANG=C.UTF-8 LC_ALL=C.UTF-8 timeout 60 "$discover" "${@:2}" >"$E2E_WORK/$1.out"
    expect_equal "$1: exit status" "$?" 0
}

# names FILE: "ADDRESS BYTES DIGEST START" for each name of the tool's JSON (a document or lines),
# the name as the JSON literal the tool wrote, by address.
names() {
    python3 - "$1" <<'PYTHON'
import hashlib, re, sys

text = open(sys.argv[1], "rb").read().decode("utf-8")
found = re.findall(r'"name": ("(?:[^"\\]|\\.)*"), "address": "([^"]*)"', text)
for literal, address in sorted(found, key=lambda pair: pair[1]):
    raw = literal.encode()
    print(address, len(raw), hashlib.md5(raw).hexdigest()[:12], literal[:24])
PYTHON
}

# table_faults FILE LONG-NAME: lines of the table that break its layout.
table_faults() {
    python3 - "$@" <<'PYTHON'
import re, sys, unicodedata

lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
long_name, address_column = sys.argv[2], int(sys.argv[3])
width = lambda text: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
for line in lines:
    head = re.match(r"(.*?)(Address|\d+\.\d+\.\d+\.\d+)$", line)
    if head and re.fullmatch(r"\d+   " + re.escape(long_name) + "  ", head.group(1)):
        continue
    if not head or width(head.group(1)) != address_column or width(line) > 80:
        print("out of line:", line)
PYTHON
}

run_discover finder --json
run_discover table
run_discover live --explain --json --window $LIVE_WINDOW_S
expect_equal "the blocking call's path" "$(head -n 1 "$E2E_WORK/live.out")" \
    '{"event": "path", "blocking_call": "finder"}'

long_kept=$(repeat $LONG_CHARACTER $LONG_KEPT)
printf '"name": "%s", "address": "%s"\n' "ロボット & <一号>" "$(simlan_device_address 1)" "Bell and [31mred" \
    "$(simlan_device_address 2)" $'Caf\xef\xbf\xbd robot' "$(simlan_device_address 3)" "$long_kept" \
    "$(simlan_device_address 4)" >"$E2E_WORK/expected.out"
expect_equal "names on the finder path" "$(names "$E2E_WORK/finder.out")" "$(names "$E2E_WORK/expected.out")"
expect_equal "names of the live search, as on the finder path" "$(names "$E2E_WORK/live.out")" \
    "$(names "$E2E_WORK/finder.out")"
expect_equal "the table's robots" "$(grep -c '^[0-9] ' "$E2E_WORK/table.out")" $NAMED
expect_equal "the table's layout" "$(table_faults "$E2E_WORK/table.out" "$long_kept" $ADDRESS_COLUMN)" ""
expect_equal "the plain-text description, told with its status" \
    "$(grep -F "{\"event\": \"skipped\", \"address\": \"$(simlan_device_address $NOT_XML)\", " "$E2E_WORK/live.out" |
        grep -cF '"reason": "no-robot-udn", "detail": "the description is not XML", "http_status": 200}')" 1
e2e_finish
