#!/usr/bin/env python3
"""The size of the tests against the code they test.

Counts the lines of C++ (.cpp, .hpp, .h, .cc) that are neither blank nor a
// comment alone, in the files git knows (tracked, or new and not ignored):
the code is the tool (app/, src/, serial/, log/, platform/) and the HUB
stand-in it ships with (sim/model/, sim/server/); the tests are tests/, fuzz/
and sim/testkit/, the virtual-time platform that only the tests, the fuzzers
and the floor bench link. bench/ is neither. Prints one line per folder and
the ratio, and exits with 1 when the tests pass the limit (35 % of the code).

usage: python3 scripts/test-size.py [--limit PERCENT]
"""
import argparse
import os
import re
import subprocess
import sys

CODE = ["app", "src", "serial", "log", "platform", "sim/model", "sim/server"]
TESTS = ["tests", "fuzz", "sim/testkit"]
EMPTY = re.compile(r"^\s*(//.*)?$")


def lines_of(folder):
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "--", folder],
                           capture_output=True, text=True, check=True).stdout.split()
    total = 0
    for name in files:
        if not name.endswith((".cpp", ".hpp", ".h", ".cc")) or not os.path.isfile(name):
            continue
        with open(name, encoding="utf-8", errors="replace") as f:
            total += sum(1 for line in f if not EMPTY.match(line))
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--limit", type=float, default=35.0)
    args = parser.parse_args()
    os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    counts = {folder: lines_of(folder) for folder in CODE + TESTS}
    code = sum(counts[f] for f in CODE)
    tests = sum(counts[f] for f in TESTS)
    print("lines of C++ (not blank, not a comment alone): " + ", ".join(f"{f} {counts[f]}" for f in CODE + TESTS))
    ratio = 100.0 * tests / code if code else 0.0
    print(f"tests {tests} / code {code} = {ratio:.1f} % (limit {args.limit:g} %)")
    return 0 if ratio <= args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
