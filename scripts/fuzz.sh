#!/usr/bin/env bash
# Fuzzing with libFuzzer (clang): the harnesses in fuzz/, built in build-fuzz/.
#
#   scripts/fuzz.sh replay               build, then run every harness once over
#                                        its committed corpus (fuzz/corpus/<harness>/)
#   scripts/fuzz.sh run SECONDS [H...]   build, then fuzz each harness for SECONDS,
#                                        two at a time; prints each one's executions
#   scripts/fuzz.sh long [RUNS] [H...]   the long run: RUNS executions per harness
#                                        (default 10000000), two at a time
#
# The corpora are committed and kept by hand: there is no mode that writes
# them (a run's new inputs stay in build-fuzz/fuzz-work/).
#
# Exits nonzero when a harness crashes or finds anything. The input that did it
# is kept in build-fuzz/fuzz-findings/<harness>/; reproduce it with
#   build-fuzz/bin/fuzz_<harness> build-fuzz/fuzz-findings/<harness>/crash-...
# (ZEL_FUZZ_SHOW=1 in front shows what the tool printed and returned).
# Inputs found during `run` and `long` are kept in build-fuzz/fuzz-work/<harness>/
# and used again by the next run; the committed corpora are only read.
# Every `run` and `long` appends its figures to build-fuzz/fuzz-results.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="$ROOT/build-fuzz"
HARNESSES=(image xml hub_info sensor_block log_text boot_info sensor_count auto_addressing
           scan_list selftest wifi_reply driver)
PARALLEL=${ZEL_FUZZ_PARALLEL:-2}
# Per input: a run in virtual time takes milliseconds; anything near this is a hang.
COMMON=(-timeout=25 -rss_limit_mb=2048 -print_final_stats=1)

usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

build() {
  bash scripts/deps.sh all || return 1
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF >/dev/null || return 1
  cmake --build "$BUILD" --target zel_fuzzers || return 1
}

# The inputs larger than the default 4096 bytes some harnesses need.
max_len() {
  case $1 in
    log_text|driver|selftest) echo 16384 ;;
    *) echo 8192 ;;
  esac
}

replay() {
  local status=0 h
  for h in "${HARNESSES[@]}"; do
    mkdir -p "$BUILD/fuzz-findings/$h"
    if "$BUILD/bin/fuzz_$h" -runs=0 "${COMMON[@]}" -max_len="$(max_len "$h")" \
         -artifact_prefix="$BUILD/fuzz-findings/$h/" "fuzz/corpus/$h" >"$BUILD/fuzz-findings/$h/replay.log" 2>&1; then
      echo "replay $h: $(find "fuzz/corpus/$h" -type f | wc -l) inputs, no finding"
    else
      echo "replay $h: FAILED"; tail -n 60 "$BUILD/fuzz-findings/$h/replay.log"; status=1
    fi
  done
  return $status
}

# One harness, in its own folder (libFuzzer's -jobs writes fuzz-0.log there).
fuzz_one() {  # harness, libFuzzer limit flag
  local h=$1 limit=$2 work="$BUILD/fuzz-work/$h"
  mkdir -p "$work/corpus" "$BUILD/fuzz-findings/$h"
  rm -f "$work/fuzz-0.log"
  local start=$SECONDS
  # No allocation stacks while fuzzing: a third more executions, the same
  # checks; running the kept input again shows them.
  (cd "$work" && ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0} "$BUILD/bin/fuzz_$h" -jobs=1 "$limit" "${COMMON[@]}" -max_len="$(max_len "$h")" \
      -artifact_prefix="$BUILD/fuzz-findings/$h/" corpus "$ROOT/fuzz/corpus/$h" >/dev/null 2>&1)
  local code=$? execs
  execs=$(grep -a 'stat::number_of_executed_units' "$work/fuzz-0.log" | tail -n 1 | awk '{print $2}')
  local verdict="no finding"
  [ $code -eq 0 ] || verdict="FINDING (exit $code)"
  printf '%s %-16s %12s executions %6ss  %s\n' "$(date -u +%F)" "$h" "${execs:-?}" "$((SECONDS - start))" "$verdict" \
    | tee -a "$BUILD/fuzz-results.txt"
  if [ $code -ne 0 ]; then
    grep -a -E 'ERROR|SUMMARY|zel fuzz check|Test unit written|^ +#[0-9]+ ' "$work/fuzz-0.log" | head -n 40
    return 1
  fi
}

# Runs fuzz_one over the harnesses, PARALLEL at a time; nonzero when any found something.
fuzz_all() {  # limit flag, harnesses...
  local limit=$1; shift
  local status=0 running=0 h
  for h in "$@"; do
    if [ $running -ge "$PARALLEL" ]; then
      wait -n || status=1
      running=$((running - 1))
    fi
    fuzz_one "$h" "$limit" &
    running=$((running + 1))
  done
  while [ $running -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
  done
  return $status
}

pick() { if [ $# -gt 0 ]; then echo "$@"; else echo "${HARNESSES[@]}"; fi; }

case "${1:-}" in
  replay)
    build || exit 1
    replay
    ;;
  run)
    [ $# -ge 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage
    seconds=$2; shift 2
    build || exit 1
    # shellcheck disable=SC2046
    fuzz_all "-max_total_time=$seconds" $(pick "$@")
    ;;
  long)
    runs=10000000
    if [ $# -ge 2 ] && [[ $2 =~ ^[0-9]+$ ]]; then runs=$2; shift; fi
    shift
    build || exit 1
    echo "long run: $runs executions per harness, $PARALLEL at a time; each is"
    echo "  (cd build-fuzz/fuzz-work/<harness> && ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0} \\"
    echo "     ../../bin/fuzz_<harness> -jobs=1 -runs=$runs ${COMMON[*]} \\"
    echo "     -max_len=8192 (16384 for log_text, driver, selftest) -artifact_prefix=../../fuzz-findings/<harness>/ \\"
    echo "     corpus ../../../fuzz/corpus/<harness>)"
    # shellcheck disable=SC2046
    fuzz_all "-runs=$runs" $(pick "$@")
    ;;
  *) usage ;;
esac
