#!/bin/sh
# Proves the ABI check catches what it is meant to: a baseline recorded from
# the sample library, then each variant checked against it.
# usage: abi_guard_test.sh <python> <check_abi.py> <include-dir> <work-dir> <base> <added> <wider> <leak> <removed>
set -eu
python=$1 check=$2 include=$3 work=$4
base=$5 added=$6 wider=$7 leak=$8 removed=$9

mkdir -p "$work"
abidw --no-corpus-path --type-id-style hash --out-file "$work/sample.abi" "$base"

failures=0
# expect <pass|fail> <library> <what>
expect() {
    if "$python" "$check" "$work/sample.abi" "$2" "$include" >"$work/last.log" 2>&1; then
        outcome=pass
    else
        outcome=fail
    fi
    if [ "$outcome" = "$1" ]; then
        echo "ok: $3 -> $outcome"; sed "s/^/    /" "$work/last.log"
    else
        echo "WRONG: $3 -> $outcome, expected $1"; cat "$work/last.log"
        failures=$((failures + 1))
    fi
}

expect pass "$base" "unchanged library"
expect pass "$added" "declared function added"
expect fail "$wider" "public struct grew"
expect fail "$leak" "undeclared helper exported"
expect fail "$removed" "function removed"
[ "$failures" -eq 0 ]
