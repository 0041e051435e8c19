#!/usr/bin/env bash
# The whole test suite: the Linux build (warnings as errors), the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz
# harnesses (corpus replay and 10 s each), the Windows cross build with its
# tests under wine, and the package check. Ends with the runners' summary.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh all || exit 1

passed=0; failed=0; status=0
summarize() {  # adds one ctest run's counts to the totals
  # The first summary line counts every test; a re-run of the failed ones
  # (Windows) prints a second one whose failures are the ones that stand.
  local log=$1 first last total bad
  first=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | head -n 1)
  last=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$first" ]; then status=1; return; fi
  total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$first")
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$last")
  passed=$((passed + total - bad)); failed=$((failed + bad))
}

run_suite() {  # name, build dir, extra cmake flags...
  local name=$1 dir=$2; shift 2
  echo "=== $name: configure and build ($dir)"
  cmake -S . -B "$dir" -G Ninja -DZEL_WERROR=ON "$@" >/dev/null || { status=1; return; }
  cmake --build "$dir" || { status=1; return; }
  echo "=== $name: tests"
  ctest --test-dir "$dir" --output-on-failure --timeout 600 2>&1 | tee "$dir/ctest.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summarize "$dir/ctest.log"
}

run_suite "Linux" build
run_suite "Linux with sanitizers" build-asan -DZEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
echo "=== Fuzzing: every harness over its corpus, then 10 s of fuzzing each"
if bash scripts/fuzz.sh replay && bash scripts/fuzz.sh run 10; then
  passed=$((passed + 1))
else
  failed=$((failed + 1)); status=1
fi
echo "=== Windows cross build and tests under wine"
bash scripts/test-windows.sh 2>&1 | tee build-win-ctest.log
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
summarize build-win-ctest.log

echo "=== Packages: .deb installed and run against the stand-in, Windows zip"
if bash scripts/package-check.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
