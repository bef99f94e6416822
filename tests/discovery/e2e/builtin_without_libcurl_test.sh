#!/usr/bin/env bash
# The installed libseekwell, copied alone into a fresh folder, searching a private LAN of
# simulated robots while the libcurl it loads is unusable: once an empty file, once a libcurl too
# old for the fetch. Each search still ends soon after its window, silently, with no record and
# no fetch sent, and leaves no libcurl mapped.
#
#   builtin_without_libcurl_test.sh INSTALL-PREFIX HOST-PROGRAM OLD-LIBCURL-FOLDER
set -u
source "$(dirname "$0")/../../support/e2e_common.sh"
prefix=$1
host=$2
old_libcurl=$3
e2e_require_lan

readonly SEARCH_WINDOW_MS=10000
# Nothing is fetched, so the call ends right after the window.
readonly END_ALLOWANCE_MS=2000
readonly ROBOTS=3

alone="$E2E_WORK/alone"
e2e_copy_library_alone "$prefix" "$alone" || exit 1
unloadable="$E2E_WORK/unloadable"
mkdir -p "$unloadable"
: >"$unloadable/$(basename "$old_libcurl"/libcurl.so.*)"
simlan_create "$E2E_LAN_NAME" $ROBOTS || exit 1
simlan_start_sim "$prefix/bin/seekwell-robot-sim" --robots $ROBOTS \
    --log "$E2E_WORK/traffic.log" "${E2E_SIM_LIFETIME[@]}" || exit 1

# search_with_libcurl_from WHAT FOLDER: one search with FOLDER first on the library path.
search_with_libcurl_from() {
    local what=$1 folder=$2 out="$E2E_WORK/$1.out" err="$E2E_WORK/$1.err"
    : >"$E2E_WORK/traffic.log"
    LD_LIBRARY_PATH=$folder simlan_client "$host" "$alone/libseekwell.so.2" >"$out" 2>"$err"
    expect_equal "$what: host exit status" "$?" 0
    expect_equal "$what: records" "$(grep -E '^(result|record|untouched) ' "$out")" \
        "$(printf 'result 0\nuntouched yes')"
    expect_equal "$what: bytes written to stderr" "$(wc -c <"$err")" 0
    expect_equal "$what: libcurl mapped after the search" "$(e2e_value "$out" libcurl_after_call)" no
    local elapsed
    elapsed=$(e2e_value "$out" elapsed_ms)
    expect_true "$what: the call lasted the whole window ($elapsed ms)" \
        test "${elapsed:-0}" -ge $SEARCH_WINDOW_MS
    expect_true "$what: the call ended soon after the window ($elapsed ms)" \
        test "${elapsed:-0}" -le $((SEARCH_WINDOW_MS + END_ALLOWANCE_MS))
    # The robots heard the search, and no description was asked for.
    expect_equal "$what: searches received" "$(grep -c '^ssdp ' "$E2E_WORK/traffic.log")" 1
    expect_equal "$what: fetches received" "$(grep -c '^http ' "$E2E_WORK/traffic.log")" 0
}

search_with_libcurl_from unloadable "$unloadable"
search_with_libcurl_from too-old "$old_libcurl"

e2e_finish
