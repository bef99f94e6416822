#!/usr/bin/env bash
# Builds the fuzzing configuration (clang, libFuzzer, ASan+UBSan) and runs
# every fuzzer for a bounded time, starting from the committed seeds.
#
#   scripts/fuzz.sh [seconds per fuzzer, default 60] [fuzzer name...]
#
# Working corpora, crash artifacts and a line of figures per run stay in
# build-fuzz/. A crash fails the script; turn the artifact into a file under
# fuzz/regressions/<corpus>/ so that the normal test suite replays it.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

SECONDS_EACH=${1:-60}
shift || true
BUILD="$ROOT/build-fuzz"
CC=clang-14 CXX=clang++-14 configure_and_build "$BUILD" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROVA_BUILD_FUZZERS=ON -DROVA_BUILD_TESTS=OFF \
  -DROVA_BUILD_BENCHMARKS=OFF

# Longest input per fuzzer: a whole datagram, a document past the read size,
# several finder texts past the narrowing limit, a helper's stream with two
# fields at their bound.
max_len_of() {
  case $1 in
    ssdp_reply) echo 65537 ;;
    description) echo 8192 ;;
    finder_texts) echo 16384 ;;
    helper_stream) echo 132096 ;;
    *) echo 4096 ;;
  esac
}

run_fuzzer() {
  local fuzzer=$1 name=${1%_fuzzer}
  local corpus="$BUILD/corpus/$name" artifacts="$BUILD/artifacts/$name/" log="$BUILD/logs/$name.log"
  local dict=() seeds=()
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  [ -f "$ROOT/fuzz/dict/$name.dict" ] && dict=(-dict="$ROOT/fuzz/dict/$name.dict")
  for dir in "$ROOT/fuzz/corpus/$name" "$ROOT/fuzz/regressions/$name"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  echo "== fuzzing $name for ${SECONDS_EACH}s"
  local status=0
  "$BUILD/fuzz/$fuzzer" "$corpus" "${seeds[@]}" "${dict[@]}" \
    -max_total_time="$SECONDS_EACH" -max_len="$(max_len_of "$name")" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts" -print_final_stats=1 \
    >"$log" 2>&1 || status=$?
  local runs
  runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  echo "$(date -u +%FT%TZ) $name seconds=$SECONDS_EACH executions=${runs:-0} status=$status" \
    | tee -a "$BUILD/fuzz-figures.txt"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    return 1
  fi
}

fuzzers=("$@")
if [ ${#fuzzers[@]} -eq 0 ]; then
  for path in "$BUILD"/fuzz/*_fuzzer; do
    fuzzers+=("$(basename "$path")")
  done
fi
status=0
for fuzzer in "${fuzzers[@]}"; do
  run_fuzzer "$fuzzer" || status=1
done
exit $status
