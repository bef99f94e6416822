#!/usr/bin/env bash
# The command lines of the four tools: one version line and one error style, and the simulator's
# --help and manual page naming the same fault kinds. Then seekwell-discover without a route to
# the multicast group (in a network namespace with only loopback; skipped without root).
#
#   tool_cli_test.sh VERSION SIMULATOR-MANUAL-PAGE PROGRAM...
set -u
version=$1
sim_page=$2
shift 2
failures=0

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

check_no_route() {
    local discover=$1 out err status
    if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
        echo "SKIP: no network namespace of our own here (needs root), so no no-route check" >&2
        return
    fi
    out=$(unshare -n "$discover" --json 2>"${TMPDIR:-/tmp}/no-route.$$")
    status=$?
    err=$(cat "${TMPDIR:-/tmp}/no-route.$$")
    rm -f "${TMPDIR:-/tmp}/no-route.$$"
    expect_equal "exit status without a route" "$status" 3
    expect_equal "JSON without a route" "$out" '{"count": 0, "robots": []}'
    [[ $err == "seekwell-discover: warning: "*239.255.255.250*"ip route add 224.0.0.0/4 dev"* ]] ||
        fail "warning without a route: '$err'"
    expect_equal "warning lines" "$(wc -l <<<"$err")" 1
    expect_equal "table without a route" "$(unshare -n "$discover" 2>/dev/null)" "No robot found."
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

check_no_route "$discover"

[ $failures -eq 0 ] || exit 1
echo "PASS"
