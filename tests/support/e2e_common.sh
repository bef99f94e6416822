# Shared by the end-to-end tests: skipping, a simulated LAN of the test's own, and checks.
# Source it; the sourcing script gets a work folder ($E2E_WORK) and a cleanup that runs on any exit.

E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# ctest's SKIP_RETURN_CODE for these tests.
E2E_SKIP=77
# Sorting and matching byte by byte.
export LC_ALL=C
E2E_FAILURES=0
# Namespace names hold the PID, so parallel runs never meet.
E2E_LAN_PREFIX=swe2e
E2E_LAN_NAME=$E2E_LAN_PREFIX-$$
# Pass to every simulator: one that outlives a run killed outright still ends by itself.
E2E_SIM_LIFETIME=(--duration 60)

source "$E2E_DIR/private_lan.sh"

e2e_cleanup() {
    simlan_destroy
    [ -n "${E2E_WORK:-}" ] && rm -rf "$E2E_WORK"
}
trap e2e_cleanup EXIT
trap 'exit 1' INT TERM

# Namespaces of runs that were killed before their cleanup could run (their PID is gone).
e2e_remove_stale_lans() {
    local ns pid
    for ns in $(ip netns list | awk '{ print $1 }' | grep -E "^$E2E_LAN_PREFIX-[0-9]+-[cr]\$"); do
        pid=${ns#"$E2E_LAN_PREFIX"-}
        pid=${pid%-*}
        kill -0 "$pid" 2>/dev/null || ip netns del "$ns"
    done
}

e2e_require_lan() {
    simlan_can_run || exit $E2E_SKIP
    e2e_remove_stale_lans
    E2E_WORK=$(mktemp -d /tmp/seekwell-e2e.XXXXXX)
}

e2e_fail() {
    echo "FAILED: $*" >&2
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

# expect_equal WHAT ACTUAL EXPECTED
expect_equal() {
    [ "$2" == "$3" ] || e2e_fail "$1: expected [$3], got [$2]"
}

# expect_true WHAT COMMAND...
expect_true() {
    local what=$1
    shift
    "$@" || e2e_fail "$what"
}

# e2e_value FILE KEY: the rest of the line "KEY rest" in FILE.
e2e_value() {
    sed -n "s/^$2 //p" "$1" | head -n 1
}

# e2e_copy_library_alone PREFIX DEST: copies the installed libseekwell.so* and nothing else (no
# helper folder beside it), so that loading it from DEST always takes the built-in search.
e2e_copy_library_alone() {
    local prefix=$1 dest=$2 library
    library=$(find "$prefix" -name 'libseekwell.so.*.*' -type f | head -n 1)
    [ -n "$library" ] || { echo "no libseekwell installed under $prefix" >&2; return 1; }
    mkdir -p "$dest"
    cp -P "$(dirname "$library")"/libseekwell.so* "$dest/"
}

e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        echo "$E2E_FAILURES check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

# ssdp_replies_to DESTINATION: what the client hears back within half a second from one M-SEARCH
# sent there (ssdp_search.py), sorted.
ssdp_replies_to() {
    simlan_client timeout 5 python3 "$E2E_DIR/ssdp_search.py" "$1" 0.5 | sort
}

# ssdp_replies_from ADDRESS...: those robots' replies from their SSDP port, as ssdp_replies_to prints them.
ssdp_replies_from() {
    local address
    for address in "$@"; do
        echo "$address:1900 http://$address/ROVA.XML"
    done | sort
}
