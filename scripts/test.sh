#!/usr/bin/env bash
# The whole test suite, as CI runs it:
#   style      clang-format over the tree, clang-tidy over the product code
#   Linux      every tier (unit, scenario, robust, e2e), warnings as errors
#   sanitizers the same suite with AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzzing    every harness over its corpus, then 10 s of fuzzing each
#   Windows    the cross build, its tests under wine
#   packages   the .deb installed and run against the stand-in, the Windows zip
# Ends with the size of the tests against the code, and the total
# "N passed, N failed" counted from the test runners' JUnit reports.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh all || exit 1

status=0
steps_passed=0
steps_failed=0
step() {  # name, command...: a step that counts as one test
    local name=$1
    shift
    echo "=== $name"
    if "$@"; then steps_passed=$((steps_passed + 1)); else steps_failed=$((steps_failed + 1)); status=1; echo "=== $name: FAILED"; fi
}

style_format() {
    git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror
}
style_tidy() {
    # The Windows backend is checked by its own compiler only: clang-tidy
    # would need the mingw headers.
    local out
    out=$(git ls-files 'app/*.cpp' 'src/*.cpp' 'serial/*.cpp' 'log/*.cpp' 'platform/*.cpp' 'platform/posix/*.cpp' 'platform/linux/*.cpp' |
          xargs run-clang-tidy -quiet -j 2 -p build -extra-arg=-Wno-unknown-warning-option 2>&1) ||
        { echo "$out" | tail -40; return 1; }
    local findings
    findings=$(grep -E '(warning|error):' <<<"$out" | sed 's/\x1b\[[0-9;]*m//g' | sort -u)
    [ -z "$findings" ] || { echo "$findings"; return 1; }
}

rm -f build/junit.xml build-asan/junit.xml build-win/junit.xml
echo "=== Linux: configure, build and every tier"
cmake --workflow --preset native || status=1
step "style: clang-format" style_format
step "style: clang-tidy" style_tidy
echo "=== Linux with sanitizers"
cmake --workflow --preset sanitize || status=1
step "fuzzing: corpus replay and 10 s per harness" bash -c 'bash scripts/fuzz.sh replay && bash scripts/fuzz.sh run 10'
echo "=== Windows cross build and tests under wine"
bash scripts/test-windows.sh || status=1
step "packages" bash scripts/package-check.sh

echo
python3 scripts/test-size.py || status=1
python3 - "$steps_passed" "$steps_failed" build/junit.xml build-asan/junit.xml build-win/junit.xml <<'EOF' || status=1
import sys, xml.etree.ElementTree as ET
passed, failed = int(sys.argv[1]), int(sys.argv[2])
for report in sys.argv[3:]:
    try:
        root = ET.parse(report).getroot()
    except (OSError, ET.ParseError):
        print(f"{report}: no report (its tests did not run)")
        failed += 1
        continue
    for suite in [root] if root.tag == "testsuite" else root.iter("testsuite"):
        tests, failures = int(suite.get("tests", 0)), int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skipped = int(suite.get("skipped", 0) or 0) + int(suite.get("disabled", 0) or 0)
        passed += tests - failures - skipped
        failed += failures
        print(f"{report}: {tests} tests, {failures} failed, {skipped} skipped")
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
EOF
exit $status
