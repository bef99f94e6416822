#!/usr/bin/env bash
# The command lines of the four tools: one version line and one error style, and the simulator's
# --help and manual page naming the same fault kinds. Then seekwell-discover: --help within 80
# columns, refused command lines, LAN text under another character set, and no route to the
# multicast group (in a network namespace with only loopback; skipped without root).
#
#   tool_cli_test.sh VERSION SIMULATOR-MANUAL-PAGE PROGRAM...
# SEEKWELL_LIBRARY and FAKE_FINDER_HELPER name the library and a stand-in finder helper.
set -u
version=$1
sim_page=$2
shift 2
failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/tool-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_equal() {
    [ "$2" = "$3" ] || fail "$1: expected '$3', got '$2'"
}

check_command_line() {
    local program=$1 name err status
    name=$(basename "$program")
    expect_equal "$name --version" "$("$program" --version)" "$name $version"
    err=$("$program" --no-such-option 2>&1 >/dev/null)
    status=$?
    expect_equal "$name: exit status of a bad option" "$status" 1
    expect_equal "$name: error lines of a bad option" "$err" \
        "$name: unknown option '--no-such-option'"$'\n'"Try '$name --help' for more information."
}

# The fault kinds as --help lists them (the lines after "Fault kinds:") and as the page does
# (the .B line after each .TP of its FAULT KINDS section).
help_kinds() {
    "$1" --help | sed -n '/^Fault kinds:$/,/^$/s/^  \([a-z-]*\) .*/\1/p'
}
page_kinds() {
    sed -n '/^\.SH FAULT KINDS/,/^\.SH /p' "$1" | sed -n 's/^\.B \(.*\)/\1/p' | sed 's/\\-/-/g'
}

# A copy of the library in a folder of its own, alone or beside the stand-in helper answering as
# the finder would (two robots at once); the tool loads it through LD_LIBRARY_PATH.
library_copy() {
    local dir=$work/$1
    mkdir -p "$dir/seekwell"
    cp -P "$(dirname "$SEEKWELL_LIBRARY")"/libseekwell.so* "$dir/"
    if [ "$1" = finder ]; then
        cp "$FAKE_FINDER_HELPER" "$dir/seekwell/seekwell-finder-gupnp"
        echo good >"$dir/seekwell/fake-helper-mode"
    fi
    echo "$dir"
}

check_no_route() {
    local alone out err
    if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
        echo "SKIP: no network namespace of our own here (needs root), so no no-route check" >&2
        return
    fi
    alone=$(library_copy alone)
    out=$(unshare -n env LD_LIBRARY_PATH="$alone" "$discover" --json 2>"$work/no-route")
    expect_equal "exit status without a route" "$?" 3
    expect_equal "JSON without a route" "$out" '{"count": 0, "robots": []}'
    err=$(cat "$work/no-route")
    [[ $err == "seekwell-discover: warning: "*239.255.255.250*"built-in search"*"ip route add 224.0.0.0/4 dev"* ]] ||
        fail "warning without a route: '$err'"
    expect_equal "warning lines" "$(wc -l <<<"$err")" 1
    expect_equal "table without a route" "$(unshare -n env LD_LIBRARY_PATH="$alone" "$discover" 2>/dev/null)" \
        "No robot found."
    # The finder helper sets the interface of its sockets itself: the route is not its concern.
    out=$(unshare -n env LD_LIBRARY_PATH="$(library_copy finder)" "$discover" --json 2>"$work/finder.err")
    expect_equal "exit status of the finder path without a route" "$?" 0
    expect_equal "the finder's robots without a route" "$out" \
        '{"count": 2, "robots": [{"index": 0, "name": "ROVA robot 1", "address": "192.0.2.10"}, {"index": 1, "name": "ROVA robot 2", "address": "192.0.2.11"}]}'
    expect_equal "no warning on the finder path" "$(cat "$work/finder.err")" ""
}

# The interfaces this host has, loopback left out, in the kernel's order, as the tool lists them.
here_interfaces() {
    local names= name flags
    for name in $(ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }'); do
        flags=$(cat "/sys/class/net/$name/flags" 2>/dev/null) || continue
        ((flags & 0x8)) || names+="${names:+, }$name"
    done
    [ -n "$names" ] && echo "interfaces here: $names" || echo "this host has none but loopback"
}

# Each row WHAT|FIRST-ERROR-LINE|ARGUMENTS: exit status 1, nothing on stdout, the first error line,
# then the pointer to --help.
check_refusals() {
    local what line args out err status
    while IFS='|' read -r what line args; do
        read -ra args <<<"$args"
        out=$("$discover" "${args[@]}" </dev/null 2>"$work/refused")
        status=$?
        err=$(cat "$work/refused")
        expect_equal "$what: exit status" "$status" 1
        expect_equal "$what: stdout" "$out" ""
        expect_equal "$what: first error line" "$(head -n 1 <<<"$err")" "seekwell-discover: $line"
        expect_equal "$what: last line" "$(tail -n 1 <<<"$err")" "Try 'seekwell-discover --help' for more information."
    done <<ROWS
a hostname|--probe 'robot.local': a hostname: names are not looked up, give the robot's IPv4 address|--probe robot.local
loopback interface|'lo' is the loopback interface, where no robot answers; $(here_interfaces)|--interface lo
unknown interface|no interface named 'nosuch0'; $(here_interfaces)|--interface=nosuch0
a window of text|option '--window' takes seconds from 0.001 to 4294967, such as 30 or 2.5 (no end: --watch)|--window x
a period too short|option '--period' takes seconds from 0.2 to 4294967, such as 15 or 0.5|--watch --period 0.1
a window in a watch|options '--window' and '--watch' exclude each other: a watch has no end|--window 5 --watch
every refused entry|--probe '127.0.0.1': a loopback address: this host itself, never a robot|--probe 198.19.5.11 --probe 127.0.0.1 --probe=10.0.0.0/8
ROWS
    # The last row refuses two entries, one line each.
    expect_equal "one line for each refused entry" "$(grep -c "^seekwell-discover: --probe " "$work/refused")" 2
}

# Text beyond ASCII shows as '?' under a locale of another character set (made here where localedef
# can); the C locale counts as UTF-8.
check_locale() {
    local name=$'\xe3\x83\xad\xe3\x83\x9c0' locale shown
    for locale in C en_US.ISO-8859-1; do
        [ $locale = C ] && shown=$name || shown='??0'
        [ $locale = C ] || localedef -i en_US -f ISO-8859-1 "$work/$locale" 2>/dev/null ||
            { echo "SKIP: localedef cannot make an ISO-8859-1 locale here" >&2 && continue; }
        expect_equal "an unknown name under $locale" "$(LOCPATH=$work LC_ALL=$locale "$discover" --interface "$name" \
            2>&1 | head -n 1 | cut -d';' -f1)" "seekwell-discover: no interface named '$shown'"
    done
}

simulator=
for program in "$@"; do
    check_command_line "$program"
    case $(basename "$program") in
    seekwell-robot-sim) simulator=$program ;;
    seekwell-discover) discover=$program ;;
    esac
done

kinds=$(help_kinds "$simulator")
[ "$(wc -l <<<"$kinds")" -ge 10 ] || fail "--help lists too few fault kinds: $kinds"
expect_equal "fault kinds of the manual page against --help" "$(page_kinds "$sim_page")" "$kinds"

widest=$("$discover" --help | awk '{ if (length($0) > n) n = length($0) } END { print n }')
[ "$widest" -le 80 ] || fail "--help wider than 80 columns (widest $widest)"
check_refusals
check_locale
check_no_route

[ $failures -eq 0 ] || exit 1
echo "PASS"
