#!/usr/bin/env python3
"""Planted faults: how many realistic regressions does the test suite catch?

Each fault in scripts/planted_faults.toml replaces one exact piece of
product code. This script plants them one at a time in a throw-away copy of
the repository, rebuilds, runs the ctest suite, and records which tests fail
or time out ("kill" the fault). The caller's work tree is only read.

    python3 scripts/mutate.py                          # HEAD, every fault
    python3 scripts/mutate.py --rev 35cf0b2 --report /tmp/before.md
    python3 scripts/mutate.py --worktree --only echo-pause-short
    python3 scripts/mutate.py --dir /tmp/zel-mut ...   # reuse a clone and its build
    python3 scripts/mutate.py --check --rev HEAD       # only check the anchors
    python3 scripts/mutate.py --compare old.json ...   # faults killed before but not now

A fault counts as killed when at least one test fails or times out because
of it. A test that failed in the suite run is run once more, alone; only a
failure that repeats counts (a test that passes the second time is listed as
flaky, not as a kill). A fault whose code does not compile, or whose anchor
does not occur exactly once, is broken: it says nothing about the tests.

Standard library only (Python 3.11).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tomllib
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

SCRIPT_DIR = Path(__file__).resolve().parent
DEFAULT_FAULTS = SCRIPT_DIR / "planted_faults.toml"
DEFAULT_REPO = SCRIPT_DIR.parent
REQUIRED_KEYS = ("id", "what", "file", "find", "replace")
# Optional keys: `within` narrows the search for `find` to one definition;
# `predict` and `why` are the prediction written before the fault was run,
# `outcome` and `killed_by` what a run measured. Only `within` changes what
# is planted; the others are carried into the report or left for the reader.
OPTIONAL_KEYS = ("within", "predict", "why", "outcome", "killed_by")
PREDICTIONS = ("killed", "survives")


# --- output --------------------------------------------------------------------

def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def fmt_seconds(s: float) -> str:
    s = int(round(s))
    return f"{s // 60}m{s % 60:02d}s" if s >= 60 else f"{s}s"


# --- the fault list --------------------------------------------------------------

@dataclass
class Fault:
    id: str
    what: str
    file: str
    find: str
    replace: str
    within: str | None = None
    predict: str | None = None
    why: str | None = None


def load_faults(path: Path) -> list[Fault]:
    with path.open("rb") as f:
        data = tomllib.load(f)
    faults: list[Fault] = []
    seen: set[str] = set()
    for i, entry in enumerate(data.get("fault", []), 1):
        missing = [k for k in REQUIRED_KEYS if not isinstance(entry.get(k), str)]
        if missing:
            raise SystemExit(f"{path}: fault #{i} lacks {', '.join(missing)}")
        if entry["id"] in seen:
            raise SystemExit(f"{path}: fault id '{entry['id']}' used twice")
        seen.add(entry["id"])
        unknown = sorted(set(entry) - set(REQUIRED_KEYS) - set(OPTIONAL_KEYS))
        if unknown:
            raise SystemExit(f"{path}: fault '{entry['id']}' has unknown key(s) {', '.join(unknown)}")
        wrong = [k for k in ("within", "predict", "why") if k in entry and not isinstance(entry[k], str)]
        if wrong or entry.get("within") == "":
            raise SystemExit(f"{path}: fault '{entry['id']}': {', '.join(wrong) or 'within'} must be a non-empty text")
        if "predict" in entry and entry["predict"] not in PREDICTIONS:
            raise SystemExit(f"{path}: fault '{entry['id']}': predict must be one of {', '.join(PREDICTIONS)}")
        faults.append(Fault(**{k: entry[k] for k in REQUIRED_KEYS + ("within", "predict", "why") if k in entry}))
    if not faults:
        raise SystemExit(f"{path}: no [[fault]] entries")
    return faults


# --- where a fault sits: the enclosing function ---------------------------------

_NOT_FUNCTIONS = {"if", "for", "while", "switch", "catch", "return", "else", "do", "static_assert",
                  "namespace", "class", "struct", "enum", "union", "using", "typedef", "template",
                  "case", "sizeof", "decltype", "alignas"}
_SIGNATURE = re.compile(r"^( {0,4})(?:[A-Za-z_][^;{}=()]*?[\s*&])?([A-Za-z_~]\w*(?:::~?\w+)*)\s*\(")
_CONSTANT = re.compile(r"\b(k[A-Z]\w*)\s*(?:\[\w*\])?\s*[={]")
_CLASS = re.compile(r"^(?:class|struct)\s+(\w+)[^;]*$", re.M)


def _strip_code(text: str) -> str:
    """The text with comments, strings and character literals blanked (same length)."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
        else:
            i += 1
            continue
        for k in range(i, j):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


def enclosing_function(text: str, offset: int) -> str | None:
    """The name of the function whose body holds `offset`, or None."""
    code = _strip_code(text)
    best = None
    pos = 0
    for line in code[:offset].splitlines(keepends=True):
        start = pos
        pos += len(line)
        m = _SIGNATURE.match(line)
        if not m or m.group(2).split("::")[-1] in _NOT_FUNCTIONS:
            continue
        first_word = line.strip().split("(")[0].split()[0] if line.strip() else ""
        if first_word in _NOT_FUNCTIONS:
            continue
        # The signature runs to the first '{' or ';' (at most a few lines on).
        brace = code.find("{", start)
        semi = code.find(";", start)
        if brace < 0 or (0 <= semi < brace) or brace > offset or code.count("\n", start, brace) > 4:
            continue
        head = code[start:brace]
        if head.count("(") != head.count(")") or "=" in head.split("(")[0]:
            continue
        # Does the body still stand open at `offset`?
        depth = 0
        for ch in code[brace:offset]:
            if ch == "{":
                depth += 1
            elif ch == "}":
                depth -= 1
                if depth == 0:
                    break
        if depth > 0:
            best = m.group(2)
    return best


def enclosing_constant(text: str, offset: int) -> str | None:
    """Outside functions: the named constant (or constant table) that holds `offset`, with its class."""
    line_start = text.rfind("\n", 0, offset) + 1
    line_end = text.find("\n", offset)
    m = _CONSTANT.search(text[line_start:line_end if line_end >= 0 else len(text)])
    if not m:  # a row of a table: the nearest table opened above and still open
        code = _strip_code(text[:offset])
        for c in reversed(list(_CONSTANT.finditer(code))):
            opened = code.find("{", c.start())
            if 0 <= opened and code.count("{", opened) > code.count("}", opened):
                m = c
                break
    if not m:
        return None
    code = _strip_code(text[:offset])
    owner = None
    for c in _CLASS.finditer(code):
        opened = code.find("{", c.start())
        if 0 <= opened and code.count("{", opened) > code.count("}", opened):
            owner = c.group(1)
    return f"{owner}::{m.group(1)}" if owner else m.group(1)


def definition_span(text: str, name: str) -> tuple[int, int] | None:
    """Where the definition of `name` stands: from the start of the first line that holds the name
    (outside comments and strings) as a definition, to the brace that closes the first "{" after it.
    An occurrence followed by a ";" before that "{" (a declaration, a call), or by a ")" that closes
    a parenthesis opened before it (a call inside a condition), is passed over."""
    code = _strip_code(text)
    for m in re.finditer(r"(?<!\w)" + re.escape(name) + r"(?!\w)", code):
        brace = code.find("{", m.end())
        if brace < 0:
            return None
        between = code[m.end():brace]
        depth, nested = 0, False
        for ch in between:
            depth += ch == "("
            depth -= ch == ")"
            nested = nested or depth < 0
        if ";" in between or nested or depth != 0:
            continue
        depth = 0
        for i in range(brace, len(code)):
            if code[i] == "{":
                depth += 1
            elif code[i] == "}":
                depth -= 1
                if depth == 0:
                    return code.rfind("\n", 0, m.start()) + 1, i + 1
        return None
    return None


def locate(fault: Fault, text: str) -> tuple[int | None, str]:
    """The offset of the one place `find` occurs (within its definition, when the fault names one),
    or None and what is wrong."""
    start, end = 0, len(text)
    scope = ""
    if fault.within:
        span = definition_span(text, fault.within)
        if span is None:
            return None, f"within '{fault.within}' not found"
        start, end = span
        scope = f" within '{fault.within}'"
    count = text.count(fault.find, start, end)
    if count != 1:
        return None, ("anchor not found" if count == 0 else f"anchor ambiguous ({count} places)") + scope
    return text.index(fault.find, start, end), ""


def where(fault: Fault, text: str | None) -> str:
    if text is None:
        return fault.file
    found, _ = locate(fault, text)
    if found is None:
        return fault.file
    if fault.within:
        return f"{fault.file}: {fault.within}"
    offset = found + len(fault.find) - len(fault.find.lstrip())
    name = enclosing_function(text, offset) or enclosing_constant(text, offset)
    return f"{fault.file}: {name}" if name else fault.file


# --- processes -------------------------------------------------------------------

def run_logged(cmd: list[str], log: Path, cwd: Path | None = None, timeout: float | None = None,
               env: dict | None = None) -> tuple[int, float]:
    """Runs `cmd` with its output appended to `log`; (exit code, seconds). -9 on a time-out."""
    t0 = time.monotonic()
    with log.open("a") as out:
        out.write(f"$ {shlex.join(cmd)}\n")
        out.flush()
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env,
                                start_new_session=True)
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(proc.pid)
            proc.wait()
            out.write(f"\n[mutate] stopped after {timeout:.0f} s\n")
            rc = -9
        except BaseException:
            kill_group(proc.pid)
            proc.wait()
            raise
    return rc, time.monotonic() - t0


def kill_group(pgid: int) -> None:
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _proc_table() -> dict[int, tuple[int, int]]:
    """pid -> (parent pid, start time in clock ticks since boot)."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        table[int(entry)] = (int(fields[1]), int(fields[19]))
    return table


def _descendants(pid: int, table: dict[int, tuple[int, int]]) -> list[int]:
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        kids = [c for c, (pp, _) in table.items() if pp == p]
        found += kids
        todo += kids
    return found


class TestWatchdog(threading.Thread):
    """Enforces the per-test time limit on ctest's children.

    ctest's own --timeout yields to a test's TIMEOUT property, which this
    project sets generously on every test; so each process that ctest starts
    is watched here, and one that runs longer than the limit is killed with
    its descendants. ctest then reports that test as failed; it is recorded
    as a time-out.
    """

    def __init__(self, ctest_pid: int, limit_s: float):
        super().__init__(daemon=True)
        self.ctest_pid = ctest_pid
        self.limit_s = limit_s
        self.timed_out: list[str] = []
        self._stop = threading.Event()
        self._hz = os.sysconf("SC_CLK_TCK")

    def stop(self) -> None:
        self._stop.set()

    def run(self) -> None:
        if not Path("/proc/self/stat").exists():
            return
        while not self._stop.wait(1.0):
            uptime = float(Path("/proc/uptime").read_text().split()[0])
            table = _proc_table()
            for pid, (ppid, start) in table.items():
                if ppid != self.ctest_pid or uptime - start / self._hz <= self.limit_s:
                    continue
                try:
                    args = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
                except OSError:
                    continue
                name = next((a.decode(errors="replace").split("=", 1)[1] for a in args
                             if a.startswith(b"--gtest_filter=")), " ".join(a.decode(errors="replace") for a in args))
                for p in [pid] + _descendants(pid, table):
                    try:
                        os.kill(p, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                self.timed_out.append(name)


# --- test results ----------------------------------------------------------------

_FAILED_LINE = re.compile(r"^\s*\d+ - (.+) \(([^()]*)\)\s*$")
_RESULT_LINE = re.compile(r"Test\s+#\d+: (.+?) \.{2,}\s*\*+\s*([A-Za-z][\w ]*?)\s+[\d.]+ sec")


@dataclass
class SuiteRun:
    rc: int
    seconds: float
    total: int = 0
    failed: dict[str, str] = field(default_factory=dict)  # name -> how (Failed, Timeout, ...)
    cut: bool = False  # the whole run was stopped at its time bound


def parse_junit(path: Path) -> tuple[int, dict[str, str]] | None:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    total, failed = 0, {}
    for case in root.iter("testcase"):
        total += 1
        name = case.get("name", "?")
        status = case.get("status", "")
        failure = case.find("failure")
        error = case.find("error")
        if status in ("disabled", "skipped") or case.find("skipped") is not None:
            continue
        if failure is not None or error is not None or status in ("fail", "notrun"):
            node = failure if failure is not None else error
            failed[name] = (node.get("message") if node is not None else None) or status or "Failed"
    return total, failed


def parse_ctest_stdout(log: Path) -> dict[str, str]:
    text = log.read_text(errors="replace")
    failed: dict[str, str] = {}
    if "The following tests FAILED:" in text:
        block = text.split("The following tests FAILED:", 1)[1]
        for line in block.splitlines()[1:]:
            m = _FAILED_LINE.match(line)
            if m:
                failed[m.group(1).strip()] = m.group(2)
            elif line.strip() and not line.startswith((" ", "\t")):
                break
    for m in _RESULT_LINE.finditer(text):
        failed.setdefault(m.group(1).strip(), m.group(2))
    return failed


def run_suite(build: Path, log: Path, junit: Path, args: argparse.Namespace, jobs: int,
              select: list[str] | None = None) -> SuiteRun:
    cmd = ["ctest", "--test-dir", str(build), "--output-junit", str(junit), "--timeout", str(int(args.timeout)),
           "-j", str(jobs)]
    for label in args.label or []:
        cmd += ["-L", label]
    cmd += args.ctest_extra
    if select:
        cmd += ["-R", "|".join("^" + re.sub(r"([^A-Za-z0-9_])", r"\\\1", n) + "$" for n in select)]
    if junit.exists():
        junit.unlink()
    t0 = time.monotonic()
    with log.open("a") as out:
        out.write(f"$ {shlex.join(cmd)}\n")
        out.flush()
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        dog = TestWatchdog(proc.pid, args.timeout + 5)
        dog.start()
        cut = False
        try:
            rc = proc.wait(timeout=args.suite_timeout)
        except subprocess.TimeoutExpired:
            kill_group(proc.pid)
            proc.wait()
            rc, cut = -9, True
            out.write(f"\n[mutate] whole run stopped after {args.suite_timeout:.0f} s\n")
        except BaseException:
            kill_group(proc.pid)
            proc.wait()
            raise
        finally:
            dog.stop()
    run = SuiteRun(rc=rc, seconds=time.monotonic() - t0, cut=cut)
    parsed = None if cut else parse_junit(junit)
    if parsed is not None:
        run.total, run.failed = parsed
    else:
        run.failed = parse_ctest_stdout(log)
    for name in dog.timed_out:
        key = next((k for k in run.failed if k == name or k.startswith(name + " ")), name)
        run.failed[key] = "Timeout"
    if rc != 0 and not run.failed and not cut:
        run.failed["<ctest exited with %d>" % rc] = "Failed"
    return run


def short_name(name: str) -> str:
    # Parameterised tests carry "  # GetParam() = ..." in their name.
    return name.split("  # ", 1)[0].strip()


# --- the copy to mutate ------------------------------------------------------------

def git(repo: Path, *args: str, capture: bool = True) -> str:
    res = subprocess.run(["git", "-C", str(repo), *args], check=True, text=True,
                         stdout=subprocess.PIPE if capture else None)
    return res.stdout.strip() if capture else ""


def prepare_source(args: argparse.Namespace, work: Path) -> tuple[Path, str]:
    """The copy's source folder and a description of what it holds."""
    repo = args.repo
    src = work / "src"
    marker = work / "source.txt"
    if args.worktree:
        listing = ["ls-files", "-z", "--cached"] + (["--others", "--exclude-standard"] if args.with_untracked else [])
        files = [f for f in git(repo, *listing).split("\0") if f]
        if src.exists() and (src / ".git").exists():
            shutil.rmtree(src)
        src.mkdir(parents=True, exist_ok=True)
        wanted = set()
        for rel in files:
            source = repo / rel
            if not source.is_file():  # deleted in the work tree, or a submodule
                continue
            wanted.add(rel)
            target = src / rel
            data = source.read_bytes()
            if not target.exists() or target.read_bytes() != data:  # keep unchanged files' times for ninja
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)
                shutil.copymode(source, target)
        for path in sorted(src.rglob("*"), reverse=True):
            rel = path.relative_to(src).as_posix()
            if path.is_file() and rel not in wanted:
                path.unlink()
        head = git(repo, "rev-parse", "--short", "HEAD")
        kind = "tracked and untracked" if args.with_untracked else "tracked"
        what = f"work tree of {repo} ({kind} files as they are now; HEAD {head})"
    else:
        sha = git(repo, "rev-parse", "--verify", args.rev + "^{commit}")
        if not (src / ".git").exists():
            if src.exists():
                shutil.rmtree(src)
            subprocess.run(["git", "clone", "--quiet", "--no-checkout", str(repo), str(src)], check=True)
        if subprocess.run(["git", "-C", str(src), "cat-file", "-e", sha + "^{commit}"],
                          stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(["git", "-C", str(src), "fetch", "--quiet", str(repo), sha], check=True)
        # Files that were mutated and restored have new times but old contents: refresh the index first,
        # so that the checkout rewrites (and the build recompiles) only what really differs.
        subprocess.run(["git", "-C", str(src), "update-index", "-q", "--refresh"], stdout=subprocess.DEVNULL)
        subprocess.run(["git", "-C", str(src), "checkout", "--quiet", "--force", "--detach", sha], check=True)
        subprocess.run(["git", "-C", str(src), "clean", "--quiet", "-fdx"], check=True)
        what = f"revision {sha[:12]} of {repo}"
    marker.write_text(what + "\n")
    return src, what


# --- one fault ---------------------------------------------------------------------

@dataclass
class Outcome:
    id: str
    what: str
    where: str
    status: str  # killed, survived, broken
    tests: list[str] = field(default_factory=list)  # the tests that killed it (repeated failures)
    timeouts: list[str] = field(default_factory=list)
    flaky: list[str] = field(default_factory=list)  # failed once, passed when run again
    note: str = ""
    seconds: float = 0.0
    predict: str = ""  # the prediction written with the fault, if any


def run_fault(fault: Fault, src: Path, build: Path, logs: Path, args: argparse.Namespace) -> Outcome:
    path = src / fault.file
    text = path.read_text() if path.is_file() else None
    out = Outcome(fault.id, fault.what, where(fault, text), "broken", predict=fault.predict or "")
    t0 = time.monotonic()
    if text is None:
        out.note = "file not found"
        return out
    found, problem = locate(fault, text)
    if found is None:
        out.note = problem
        return out
    if fault.find == fault.replace:
        out.note = "replacement equals the anchor"
        return out
    build_log = logs / f"{fault.id}.build.log"
    test_log = logs / f"{fault.id}.ctest.log"
    for log in (build_log, test_log):
        log.write_text(f"fault {fault.id}: {fault.what}\n")
    original = path.read_bytes()
    try:
        path.write_text(text[:found] + fault.replace + text[found + len(fault.find):])
        say(f"    building")
        rc, _ = run_logged(build_cmd(build, args), build_log, timeout=args.build_timeout)
        # A build that fails says nothing about the tests: the fault is broken, and the suite is not
        # run on binaries left from before. So is a fault in a file this build does not compile.
        if rc != 0:
            out.note = "does not compile" if rc != -9 else "build timed out"
            return out
        if re.search(r"^ninja: no work to do", build_log.read_text(errors="replace"), re.M):
            out.note = "nothing was rebuilt: the file is not part of this build"
            return out
        say(f"    testing")
        first = run_suite(build, test_log, logs / f"{fault.id}.junit.xml", args, args.test_jobs)
        failed = dict(first.failed)
        if first.cut:
            out.status = "killed"
            out.tests = sorted(failed)
            out.timeouts = sorted(n for n, how in failed.items() if "timeout" in how.lower())
            out.note = f"whole run stopped after {args.suite_timeout:.0f} s"
            return out
        if failed and all(n.startswith("<") for n in failed) and args.recheck:
            # ctest failed but named no test (no JUnit file, a crash of ctest itself): run the
            # whole suite once more, and count only a failure that comes again.
            say(f"    ctest failed without naming a test; running the suite again")
            second = run_suite(build, test_log, logs / f"{fault.id}.again.junit.xml", args, args.test_jobs)
            if second.cut:
                out.status = "killed"
                out.tests = sorted(second.failed)
                out.timeouts = sorted(n for n, how in second.failed.items() if "timeout" in how.lower())
                out.note = f"whole run stopped after {args.suite_timeout:.0f} s (second run)"
                return out
            if not second.failed:
                out.status = "survived"
                out.flaky = sorted(failed)
                out.note = "a failure of ctest that named no test did not repeat"
                return out
            failed = dict(second.failed)
            if all(n.startswith("<") for n in failed):
                out.status = "killed"
                out.tests = sorted(failed)
                out.note = "ctest failed twice without naming a test"
                return out
        confirmed = failed
        if failed and args.recheck and not all(n.startswith("<") for n in failed):
            say(f"    {len(failed)} failed; running them again, one at a time")
            again = run_suite(build, test_log, logs / f"{fault.id}.recheck.junit.xml", args, 1, sorted(failed))
            # Only a test named again counts; a bare failure of ctest here confirms nothing.
            confirmed = {n: h for n, h in again.failed.items() if n in failed}
            out.flaky = sorted(n for n in failed if n not in confirmed)
            if any(n.startswith("<") for n in again.failed):
                out.note = "the second run failed without naming a test; "
        out.tests = sorted(confirmed)
        out.timeouts = sorted(n for n, how in confirmed.items() if "timeout" in how.lower())
        out.status = "killed" if confirmed else "survived"
        if out.flaky:
            out.note += f"{len(out.flaky)} failure(s) did not repeat"
        out.note = out.note.rstrip("; ")
        return out
    finally:
        path.write_bytes(original)
        out.seconds = time.monotonic() - t0


def build_cmd(build: Path, args: argparse.Namespace) -> list[str]:
    cmd = ["cmake", "--build", str(build)]
    if args.build_jobs:
        cmd += ["-j", str(args.build_jobs)]
    return cmd


# --- reports -------------------------------------------------------------------------

def killer_groups(o: Outcome) -> list[tuple[str, int]]:
    """The killing tests for a table cell: instances of one parameterised test become one entry."""
    groups: dict[str, list[str]] = {}
    for n in o.tests:
        name = short_name(n)
        base = name.split("/", 1)[0] if "/" in name else name
        groups.setdefault(base, []).append(name)
    shown = []
    for base, names in groups.items():
        timed = sum(n in o.timeouts for n in o.tests if short_name(n) in names)
        label = f"`{names[0]}`" if len(names) == 1 else f"`{base}/*` ({len(names)} cases)"
        shown.append((label + (" (time-out)" if timed else ""), len(names)))
    return shown


def killed_by(o: Outcome) -> str:
    if o.status == "broken":
        return f"broken: {o.note}"
    if o.status == "survived":
        return "**SURVIVED**" + (f" ({o.note})" if o.note else "")
    groups = killer_groups(o)
    rest = len(o.tests) - sum(n for _, n in groups[:3])
    more = f" and {rest} more" if rest > 0 else ""
    text = f"{len(o.tests)}: {', '.join(label for label, _ in groups[:3])}{more}"
    if o.note:
        text += f" ({o.note})"
    return text


def prediction_right(o: Outcome) -> bool | None:
    """Whether the prediction came true; None without a prediction or for a broken fault."""
    if not o.predict or o.status == "broken":
        return None
    return (o.predict == "killed") == (o.status == "killed")


def summary_line(outcomes: list[Outcome]) -> str:
    k = sum(o.status == "killed" for o in outcomes)
    s = sum(o.status == "survived" for o in outcomes)
    b = sum(o.status == "broken" for o in outcomes)
    text = f"{len(outcomes)} faults: {k} killed, {s} survived, {b} broken"
    judged = [r for r in map(prediction_right, outcomes) if r is not None]
    if judged:
        text += f"; predicted right: {sum(judged)} of {len(judged)}"
    return text


def markdown(outcomes: list[Outcome], header: str) -> str:
    cell = lambda t: t.replace("|", "\\|").replace("\n", " ")
    predicted = any(o.predict for o in outcomes)
    if predicted:
        lines = [header, "", "| id | what | where | predicted | killed by |", "|---|---|---|---|---|"]
    else:
        lines = [header, "", "| id | what | where | killed by |", "|---|---|---|---|"]
    for o in outcomes:
        guess = f" {o.predict or '-'}{'' if prediction_right(o) is not False else ' (wrong)'} |" if predicted else ""
        lines.append(f"| `{o.id}` | {cell(o.what)} | `{cell(o.where)}` |{guess} {cell(killed_by(o))} |")
    lines += ["", summary_line(outcomes), ""]
    return "\n".join(lines)


def as_json(outcomes: list[Outcome], meta: dict) -> dict:
    return {
        **meta,
        "summary": summary_line(outcomes),
        "kills": {o.id: [short_name(n) for n in o.tests] for o in outcomes},
        "faults": {o.id: {"status": o.status, "what": o.what, "where": o.where, "tests": o.tests,
                          "timeouts": o.timeouts, "flaky": o.flaky, "note": o.note,
                          "seconds": round(o.seconds, 1), "predict": o.predict} for o in outcomes},
    }


_ROW = re.compile(r"^\|\s*`([^`]+)`\s*\|.*\|\s*([^|]*?)\s*\|\s*$")


def old_run_from_markdown(text: str, heading: str | None) -> dict:
    """A table written by this script (for example in docs), read back: status and the names it shows."""
    lines = text.splitlines()
    if heading:
        starts = [i for i, l in enumerate(lines) if l.startswith("#") and heading.lower() in l.lower()]
        if not starts:
            raise SystemExit(f"no heading with '{heading}'")
        lines = lines[starts[0] + 1:]
    faults, kills, in_table = {}, {}, False
    for line in lines:
        m = _ROW.match(line)
        if m:
            in_table = True
            cell = m.group(2)
            status = ("survived" if "SURVIVED" in cell else "broken" if cell.startswith("broken")
                      else "killed" if re.match(r"\d+:", cell) else None)
            if status is None:
                continue
            count = re.match(r"(\d+):", cell)
            faults[m.group(1)] = {"status": status, "count": int(count.group(1)) if count else 0}
            kills[m.group(1)] = re.findall(r"`([^`]+)`", cell) if status == "killed" else []
        elif in_table and not line.startswith("|"):
            break
    if not faults:
        raise SystemExit("no fault table found")
    return {"source": "a table (names as far as it shows them)", "faults": faults, "kills": kills}


def compare(old_ref: Path, outcomes: list[Outcome]) -> str:
    path, _, heading = str(old_ref).partition("#")
    old_path = Path(path)
    if old_path.suffix == ".json":
        old = json.loads(old_path.read_text())
    else:
        old = old_run_from_markdown(old_path.read_text(), heading or None)
    old_faults = old.get("faults", {})
    old_kills = old.get("kills", {})
    lines = [f"Compared with {old_ref} ({old.get('source', '?')}):"]
    lost, narrowed = [], []
    for o in outcomes:
        before = old_faults.get(o.id, {}).get("status")
        if before is None and o.id in old_kills:
            before = "killed" if old_kills[o.id] else "survived"
        if before == "killed" and o.status != "killed":
            count = old_faults.get(o.id, {}).get("count", len(old_kills.get(o.id, [])))
            lost.append(f"  - {o.id}: killed before by {count} test(s), now {o.status}"
                        + (f" ({o.note})" if o.note else ""))
        elif before == "killed":
            now = {short_name(n) for n in o.tests}
            # "Suite.Test/*" stands for the cases of a parameterised test.
            gone = sorted(n for n in set(old_kills.get(o.id, []))
                          if not (n in now or (n.endswith("/*") and any(m.startswith(n[:-1]) for m in now))))
            if gone:
                narrowed.append(f"  - {o.id}: {len(o.tests)} test(s) now; no longer: " + ", ".join(gone[:5])
                                + (" ..." if len(gone) > 5 else ""))
    lines.append("Killed before, not now:" if lost else "Killed before, not now: none")
    lines += lost
    if narrowed:
        lines.append("Still killed, by fewer or other tests:")
        lines += narrowed
    new_ids = [o.id for o in outcomes if o.id not in old_faults and o.id not in old_kills]
    if new_ids:
        lines.append("Not in the old run: " + ", ".join(new_ids))
    return "\n".join(lines)


def outcomes_from_json(data: dict) -> list[Outcome]:
    return [Outcome(id=i, what=f["what"], where=f["where"], status=f["status"], tests=f["tests"],
                    timeouts=f.get("timeouts", []), flaky=f.get("flaky", []), note=f.get("note", ""),
                    seconds=f.get("seconds", 0.0), predict=f.get("predict", "")) for i, f in data["faults"].items()]


def render(args: argparse.Namespace) -> int:
    data = json.loads(args.render.read_text())
    outcomes = outcomes_from_json(data)
    text = markdown(outcomes, f"Planted faults, measured on {data.get('source', '?')}, {data.get('date', '?')}")
    print(text)
    if args.report:
        args.report.write_text(text)
    if args.compare:
        print(compare(args.compare, outcomes))
    return 0


# --- main ------------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Plant faults one at a time and record which tests catch them.",
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--repo", type=Path, default=DEFAULT_REPO, help="the repository to measure (only read)")
    p.add_argument("--rev", default="HEAD", help="the revision to measure")
    p.add_argument("--worktree", action="store_true",
                   help="measure the tracked files as they are in the work tree now, instead of --rev")
    p.add_argument("--with-untracked", action="store_true",
                   help="with --worktree: copy untracked files that git does not ignore too (new sources not yet added)")
    p.add_argument("--dir", type=Path, help="folder for the copy, its build and logs (kept and reused); "
                   "default: a new temporary folder")
    p.add_argument("--faults", type=Path, default=DEFAULT_FAULTS, help="the fault list")
    p.add_argument("--only", help="comma-separated fault ids")
    p.add_argument("--report", type=Path, help="markdown report; the JSON goes beside it (.json)")
    p.add_argument("--compare", type=Path, metavar="OLD",
                   help="list faults killed in an earlier run but not now: its JSON, or a markdown file with its "
                   "table (FILE.md#HEADING picks the table under the heading that contains HEADING)")
    p.add_argument("--check", action="store_true", help="only check that every anchor occurs exactly once")
    p.add_argument("--render", type=Path, metavar="RUN.json",
                   help="print (and with --report write) the table of an earlier run; nothing is built")
    p.add_argument("-L", "--label", action="append", help="ctest -L LABEL (repeatable)")
    p.add_argument("--ctest-args", default="", help="more ctest arguments, one shell-quoted string")
    p.add_argument("--cmake-args", default="", help="more arguments for the configure step")
    p.add_argument("--timeout", type=float, default=60, help="per-test limit in seconds (a time-out is a kill)")
    p.add_argument("--suite-timeout", type=float, default=0,
                   help="limit of one suite run in seconds; 0: five times the clean run, at least 600")
    p.add_argument("--build-timeout", type=float, default=1800, help="limit of one build in seconds")
    p.add_argument("--test-jobs", type=int, default=2, help="ctest -j for the suite runs")
    p.add_argument("--build-jobs", type=int, default=0, help="build parallelism (0: the build tool's default)")
    p.add_argument("--no-recheck", dest="recheck", action="store_false",
                   help="count a failure without running the failed tests a second time")
    args = p.parse_args(argv)
    args.repo = args.repo.resolve()
    args.ctest_extra = shlex.split(args.ctest_args)
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.render:
        return render(args)
    faults = load_faults(args.faults)  # the caller's list, whatever the copy holds
    if args.only:
        wanted = [s.strip() for s in args.only.split(",") if s.strip()]
        unknown = [w for w in wanted if w not in {f.id for f in faults}]
        if unknown:
            raise SystemExit("unknown fault id(s): " + ", ".join(unknown))
        faults = [f for f in faults if f.id in wanted]

    work = args.dir.resolve() if args.dir else Path(tempfile.mkdtemp(prefix="zel-mutate-"))
    work.mkdir(parents=True, exist_ok=True)
    if work == args.repo or args.repo in work.parents:
        raise SystemExit("--dir must lie outside the repository")
    say(f"copy, build and logs in {work}")
    src, source = prepare_source(args, work)
    say(f"measuring {source}")

    if args.check:
        bad = 0
        for f in faults:
            path = src / f.file
            text = path.read_text() if path.is_file() else None
            problem = "file not found" if text is None else locate(f, text)[1]
            state = problem or "ok"
            bad += state != "ok"
            print(f"{f.id:32} {state:18} {where(f, text)}")
        print(f"{len(faults)} faults, {bad} with a problem")
        return 1 if bad else 0

    build, logs = work / "build", work / "logs"
    logs.mkdir(exist_ok=True)
    t_start = time.monotonic()
    say("configuring and building the unmutated tree")
    log = logs / "baseline.build.log"
    log.write_text("")
    configure = ["cmake", "-S", str(src), "-B", str(build), "-G", "Ninja", *shlex.split(args.cmake_args)]
    rc, _ = run_logged(configure, log)
    if rc == 0:
        rc, secs = run_logged(build_cmd(build, args), log, timeout=args.build_timeout)
    if rc != 0:
        say(f"the unmutated tree does not build: see {log}")
        return 2
    say("running the suite on the unmutated tree")
    saved_suite_timeout = args.suite_timeout
    if not args.suite_timeout:
        args.suite_timeout = 3600  # for the clean run itself
    log = logs / "baseline.ctest.log"
    log.write_text("")
    clean = run_suite(build, log, logs / "baseline.junit.xml", args, args.test_jobs)
    if clean.failed or clean.rc != 0 or clean.total == 0:
        say("the unmutated tree does not pass its suite; nothing to measure:")
        for name, how in sorted(clean.failed.items()):
            say(f"  {short_name(name)} ({how})")
        if clean.total == 0:
            say("  no tests were selected")
        say(f"see {log}")
        return 2
    args.suite_timeout = saved_suite_timeout or max(600.0, 5 * clean.seconds)
    say(f"clean run: {clean.total} tests passed in {fmt_seconds(clean.seconds)}; "
        f"a suite run may take {fmt_seconds(args.suite_timeout)}")

    outcomes: list[Outcome] = []
    for i, fault in enumerate(faults, 1):
        say(f"[{i}/{len(faults)}] {fault.id}: {fault.what}")
        o = run_fault(fault, src, build, logs, args)
        outcomes.append(o)
        say(f"    -> {killed_by(o).replace('`', '')} ({fmt_seconds(o.seconds)})")
    # Leave the copy's build as the unmutated tree, ready for the next run.
    run_logged(build_cmd(build, args), logs / "final.build.log", timeout=args.build_timeout)

    total = time.monotonic() - t_start
    header = f"Planted faults, measured on {source}, {time.strftime('%Y-%m-%d %H:%M %Z')}"
    text = markdown(outcomes, header)
    print(text)
    say(f"{summary_line(outcomes)} ({fmt_seconds(total)} in all; logs in {logs})")
    report = args.report or (work / "report.md")
    report.write_text(text)
    meta = {"source": source, "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "tests": clean.total,
            "clean_run_seconds": round(clean.seconds, 1), "total_seconds": round(total, 1),
            "ctest_arguments": {"labels": args.label or [], "extra": args.ctest_extra}}
    report.with_suffix(".json").write_text(json.dumps(as_json(outcomes, meta), indent=2) + "\n")
    say(f"report: {report} and {report.with_suffix('.json')}")
    if args.compare:
        comparison = compare(args.compare, outcomes)
        print(comparison)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        say("interrupted; the copy's file under mutation was restored")
        sys.exit(130)
