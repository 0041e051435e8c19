#!/usr/bin/env python3
"""Performance of zel_usb_interface against zel_hub_sim, beside the protocol's floor.

For every operation it starts a fresh zel_hub_sim, runs the real binary under
zel_measure (wall time, user + system CPU time, peak memory of the tool
alone), and runs the same operation in virtual time with zel_floor against
the same model configuration: the floor is the least time the protocol
allows for the run, its fixed waits plus the bytes on the wire at
3,000,000 baud plus the model's reply delays, exactly as the tool performs
them. It also measures the firmware transfer's throughput and the tool's
start-up with 10,000 files in its working directory.

usage: python3 bench/perf.py [--build DIR] [--reps N] [--only NAME,...]
                             [--files N] [--json FILE] [--list]

Prints a Markdown report on standard output (docs/PERFORMANCE.md is made
from it) and keeps every figure in --json. Linux only (zel_hub_sim serves a
pseudo-terminal). Takes about ten minutes with the default three runs per
operation; the -log runs alone last 25 s each, as the protocol has them.
"""

import argparse
import json
import os
import platform
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BAUD = 3_000_000
WIRE_BYTES_PER_S = BAUD / 10  # 8 data bits, a start and a stop bit

# Targets of the report.
RATIO_TARGET = 1.02
SLACK_MS = 20.0
CPU_TARGET = 0.01
RSS_TARGET_KIB = 8 * 1024
STARTUP_TARGET_MS = 50.0

# --- image files ---------------------------------------------------------------


def pattern(n, seed):
    """Bytes that differ from position to position (as the unit tests' images)."""
    return bytes((seed + i * 7 + (i >> 8) * 13) & 0xFF for i in range(n))


def single_part_image(target, length, header_offset=40):
    """Single-part layout: tag, header offset at 12, header, first block, data."""
    f = bytearray(pattern(header_offset + 16 + 512 + length, 0x31))
    f[0:6] = b"ZELS" + b"B" + target.encode()
    struct.pack_into("<I", f, 12, header_offset)
    struct.pack_into("<IIII", f, header_offset, 0x1D0C0B0A, 0xF1F2F3F4, 0xD1D2D3D4, length)
    return bytes(f)


def two_part_image(target, length_a, length_b):
    """Two-part layout (ST HUB images): a 596-byte header, part B's data, then part A's."""
    f = bytearray(pattern(596 + length_b + length_a, 0x47))
    f[0:6] = b"ZELS" + b"F" + target.encode()
    struct.pack_into("<I", f, 8, 0x2E0D0C0B)
    struct.pack_into("<I", f, 32, 0xB1B2B3B4)
    struct.pack_into("<iIIIIIII", f, 52, 2, 0xA1A2A3A4, 0xB5B6B7B8, 0xA5A6A7A8, length_b, length_a, length_b,
                     length_a)
    return bytes(f)


# --- the operations ------------------------------------------------------------

KIB = 1024
HUB_IMAGE = 256 * KIB      # the HUB upgrade's benchmark size
SENSOR_IMAGE = 32 * KIB    # sensors are upgraded one image for all


class Op:
    def __init__(self, name, args, kind="st", scenario="", sim_options=(), files=None, expect=0, note=""):
        self.name = name
        self.args = list(args)
        self.kind = kind
        self.scenario = scenario
        self.sim_options = list(sim_options)
        self.files = files or {}
        self.expect = expect
        self.note = note


def operations():
    hub_st = two_part_image("I", HUB_IMAGE // 2, HUB_IMAGE // 2)
    hub_atmel = single_part_image("H", HUB_IMAGE)
    sensors = single_part_image("S", SENSOR_IMAGE)
    return [
        Op("hinfo", ["-hinfo"]),
        Op("hinfo-boot", ["-hinfo", "-boot"], kind="quillet", note="Quillet"),
        Op("sinfo", ["-sinfo"], note="10 sensors, 604-byte block"),
        Op("log", ["-log"], note="110 bytes of log text"),
        Op("stest-st", ["-stest"], note="ST Torvane, 3 steps"),
        Op("stest-atmel", ["-stest"], kind="atmel", note="Atmel Torvane, 2 steps"),
        Op("stest-quillet", ["-stest"], kind="quillet", note="Quillet, 32 steps and two restarts"),
        Op("r", ["-r", "{work}/net.xml"]),
        Op("w", ["-w", "{work}/net.xml"], files={"net.xml": "xml"}),
        Op("rs", ["-rs", "6"], note="dual band, 11 access points"),
        Op("h-st", ["-h", "{work}/hub.tfh"], files={"hub.tfh": hub_st},
           note="ST Torvane, 256 KiB two-part image"),
        Op("h-atmel", ["-h", "{work}/hub.tfh"], kind="atmel", files={"hub.tfh": hub_atmel},
           note="Atmel Torvane, 256 KiB image"),
        Op("s", ["-s", "{work}/sensors.tfs"], files={"sensors.tfs": sensors},
           note="ST Torvane, 17 sensors, 32 KiB image"),
        Op("sb", ["-sb", "{work}/sensors.tfs"], scenario="firmware.sensors_in_boot = 17\n",
           files={"sensors.tfs": sensors}, note="17 sensors already in their bootloader"),
        Op("sfb", ["-sfb"], sim_options=["--drop-on-trigger"], note="HUB restarts (1.5 s)"),
        Op("srf", ["-srf"], sim_options=["--drop-on-trigger"], note="HUB restarts (1.5 s)"),
    ]


# --- running -------------------------------------------------------------------


class HubSim:
    """zel_hub_sim in a short temporary directory (port names are kept to 39 characters)."""

    def __init__(self, build, op, scenario_path):
        self.temp = tempfile.mkdtemp(prefix="zb", dir="/tmp")
        self.trace = os.path.join(self.temp, "trace.txt")
        argv = [os.path.join(build, "bin", "zel_hub_sim"), "--dir", os.path.join(self.temp, "hub"),
                "--trace", self.trace, "--kind", op.kind, "--exit-after-idle", "120"] + op.sim_options
        if scenario_path:
            argv += ["--scenario", scenario_path]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=open(os.path.join(self.temp, "sim.err"), "w"))
        self.env = {}
        text = b""
        deadline = time.monotonic() + 10
        while text.count(b"\n") < 2 and time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 512)
                if not chunk:
                    break
                text += chunk
        self.proc.stdout.close()
        for line in text.decode().splitlines():
            key, _, value = line.partition("=")
            self.env[key] = value.strip("'")
        if "ZEL_SYSFS_ROOT" not in self.env or "ZEL_DEV_ROOT" not in self.env:
            self.stop()
            raise RuntimeError("zel_hub_sim did not start: " + open(os.path.join(self.temp, "sim.err")).read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def trace_lines(self):
        lines = []
        with open(self.trace) as f:
            for line in f:
                words = line.split()
                if len(words) < 3:
                    continue
                t, tag = float(words[0]), words[1]
                if tag == "**":
                    lines.append((t, tag, " ".join(words[2:])))
                else:
                    lines.append((t, tag, bytes(int(w, 16) for w in words[3:])))
        return lines

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.temp, ignore_errors=True)


def is_chunk(b):
    """A firmware chunk request (the same rule as zel_floor)."""
    if b[:4] == b"\x00\x01\x72\x00":
        return True
    if b[:4] == b"\x00\x15\x17\x00":
        return len(b) >= 8 and b[4] == 0xAE and b[6] == ord("6")
    return len(b) >= 4 and b[0] == 0xAE and b[2] == ord("6")


def transfer_from_trace(lines):
    """Seconds of firmware transfer seen by the stand-in, and the chunk count.

    The same rule as zel_floor: each run of chunks back to back, from its
    first chunk arriving to the last byte of its last chunk's echo going
    out. A chunk may arrive in more than one piece; a request is a chunk when
    its first piece says so, and its echo is the next bytes sent, as many as
    it has.
    """
    transfer = 0.0
    chunks = 0
    run_start = None
    run_end = 0.0
    pending = 0  # bytes of the current request still arriving
    for i, (t, tag, data) in enumerate(lines):
        if tag != "->":
            continue
        if pending > 0:
            pending -= len(data)
            continue
        size = 540 if data[:4] == b"\x00\x15\x17\x00" else 536
        if not is_chunk(data):
            if run_start is not None:
                transfer += run_end - run_start
            run_start = None
            continue
        chunks += 1
        pending = size - len(data)
        if run_start is None:
            run_start = t
        echoed = 0
        for t2, tag2, data2 in lines[i + 1:]:
            if echoed >= size:
                break
            if tag2 == "<-":
                echoed += len(data2)
                run_end = t2
    if run_start is not None:
        transfer += run_end - run_start
    return (transfer, chunks) if chunks else (None, 0)


def measure(build, argv, cwd, env, out_path, err_path):
    report = os.path.join(cwd, ".measure")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        code = subprocess.call([os.path.join(build, "bin", "zel_measure"), "--report", report] + argv, cwd=cwd,
                               env=env, stdout=out, stderr=err)
    if code != 0:
        raise RuntimeError("zel_measure failed: " + open(err_path).read())
    words = open(report).read().split()
    os.unlink(report)
    r = dict(zip(words[0::2], (int(w) for w in words[1::2])))
    return {
        "exit": r["exit"],
        "wall_ms": r["wall_ns"] / 1e6,
        "cpu_ms": (r["user_us"] + r["sys_us"]) / 1e3,
        "user_ms": r["user_us"] / 1e3,
        "sys_ms": r["sys_us"] / 1e3,
        "maxrss_kib": r["maxrss_kib"],
        "launcher_rss_kib": r["launcher_rss_kib"],
    }


def tool_env(extra):
    env = {k: v for k, v in os.environ.items() if k not in ("ZEL_SYSFS_ROOT", "ZEL_DEV_ROOT", "ZEL_PORT", "ZEL_TRACE")}
    env.update(extra)
    return env


def prepare_files(op, work, xml_text):
    for name, content in op.files.items():
        if content == "xml":
            content = xml_text
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)


def floor_of(build, op, xml_text):
    temp = tempfile.mkdtemp(prefix="zf", dir="/tmp")
    try:
        work = os.path.join(temp, "work")
        os.mkdir(work)
        prepare_files(op, work, xml_text)
        argv = [os.path.join(build, "bin", "zel_floor"), "--kind", op.kind] + op.sim_options
        if op.scenario:
            path = os.path.join(temp, "scenario.txt")
            open(path, "w").write(op.scenario)
            argv += ["--scenario", path]
        argv += ["--"] + [a.format(work=work) for a in op.args]
        out = subprocess.run(argv, cwd=work, capture_output=True, text=True, env=tool_env({}), check=True).stdout
        r = {}
        for line in out.splitlines():
            key, value = line.split()
            r[key] = float(value)
        return r
    finally:
        shutil.rmtree(temp, ignore_errors=True)


def run_once(build, op, xml_text, keep_xml=None):
    sim_temp = None
    scenario_path = ""
    if op.scenario:
        sim_temp = tempfile.mkdtemp(prefix="zs", dir="/tmp")
        scenario_path = os.path.join(sim_temp, "scenario.txt")
        open(scenario_path, "w").write(op.scenario)
    sim = HubSim(build, op, scenario_path)
    work = tempfile.mkdtemp(prefix="zw", dir="/tmp")
    try:
        prepare_files(op, work, xml_text)
        argv = [os.path.join(build, "bin", "zel_usb_interface")] + [a.format(work=work) for a in op.args]
        env = tool_env({"ZEL_SYSFS_ROOT": sim.env["ZEL_SYSFS_ROOT"], "ZEL_DEV_ROOT": sim.env["ZEL_DEV_ROOT"]})
        r = measure(build, argv, work, env, os.path.join(work, ".out"), os.path.join(work, ".err"))
        sim.stop()
        seconds, chunks = transfer_from_trace(sim.trace_lines())
        if seconds is not None:
            r["transfer_ms"] = seconds * 1e3
            r["chunks"] = chunks
        if keep_xml is not None and os.path.exists(os.path.join(work, "net.xml")):
            keep_xml.append(open(os.path.join(work, "net.xml"), "rb").read())
        if r["exit"] != op.expect:
            sys.stderr.write("%s: exit %d, expected %d\n%s\n" % (op.name, r["exit"], op.expect,
                                                                  open(os.path.join(work, ".out")).read()[-2000:]))
        return r
    finally:
        sim.cleanup()
        shutil.rmtree(work, ignore_errors=True)
        if sim_temp:
            shutil.rmtree(sim_temp, ignore_errors=True)


def image_bytes(op):
    """The firmware bytes an upgrade sends (the data of every part, not the headers)."""
    for name, content in op.files.items():
        if isinstance(content, bytes) and content[:4] == b"ZELS":
            if content[4:5] == b"F":
                return struct.unpack_from("<I", content, 68)[0] + struct.unpack_from("<I", content, 72)[0]
            offset = struct.unpack_from("<I", content, 12)[0]
            return struct.unpack_from("<I", content, offset + 12)[0]
    return 0


# --- start-up with many files ----------------------------------------------------------


def startup(build, files, reps):
    """The tool run with no arguments (usage text) in a directory of `files` empty files."""
    temp = tempfile.mkdtemp(prefix="zu", dir="/tmp")
    results = {}
    try:
        empty = os.path.join(temp, "empty")
        crowded = os.path.join(temp, "crowded")
        os.mkdir(empty)
        os.mkdir(crowded)
        # A tenth carries the log prefix: 100 in the exact pattern and older
        # than two days (deleted by every run, so made again before each), two
        # in the pattern from today and yesterday (kept), and the rest only
        # containing the prefix (listed, never touched).
        matching = files // 10
        old = [f"zel_USB_Logger_{1 + i % 28}_{1 + i // 28 % 12}_{2000 + i // 336}.log" for i in range(100)]
        recent = []
        for days in (0, 1):
            t = time.gmtime(time.time() - days * 86400)
            recent.append(f"zel_USB_Logger_{t.tm_mday}_{t.tm_mon}_{t.tm_year}.log")
        names = [f"data_{i:05d}.bin" for i in range(files - matching)]
        names += [f"zel_USB_Logger_notes_{i}.txt" for i in range(matching - len(old) - len(recent))]
        names += recent
        for n in names:
            open(os.path.join(crowded, n), "w").close()
        argv = [os.path.join(build, "bin", "zel_usb_interface")]
        for label, cwd in (("empty", empty), ("crowded", crowded)):
            runs = []
            for _ in range(reps):
                if label == "crowded":
                    for n in old:
                        open(os.path.join(crowded, n), "w").close()
                runs.append(measure(build, argv, cwd, tool_env({}), os.path.join(temp, "out"),
                                    os.path.join(temp, "err")))
            if label == "crowded":
                left = [n for n in old if os.path.exists(os.path.join(crowded, n))]
                if left:
                    sys.stderr.write("start-up: %d old log files were not deleted\n" % len(left))
            results[label] = {
                "files": len(os.listdir(cwd)),
                "runs": runs,
                "wall_ms": statistics.median(r["wall_ms"] for r in runs),
                "cpu_ms": statistics.median(r["cpu_ms"] for r in runs),
                "maxrss_kib": max(r["maxrss_kib"] for r in runs),
            }
        results["empty"]["files"] = 0  # the tool's own log file is the only one there
        results["crowded"]["files"] = len(names) + len(old)
        results["crowded"]["matching"] = matching
        results["crowded"]["deleted"] = len(old)
    finally:
        shutil.rmtree(temp, ignore_errors=True)
    return results


# --- the report ------------------------------------------------------------------------


def machine(build):
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
    mem = 0
    for line in open("/proc/meminfo"):
        if line.startswith("MemTotal"):
            mem = int(line.split()[1]) // 1024
    build_type = ""
    try:
        for line in open(os.path.join(build, "CMakeCache.txt")):
            if line.startswith("CMAKE_BUILD_TYPE:"):
                build_type = line.split("=", 1)[1].strip()
    except OSError:
        pass
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    return {
        "build_type": build_type or "(none: no optimisation flags, as scripts/test.sh and the package build)",
        "commit": commit,
        "load_average": " ".join(open("/proc/loadavg").read().split()[:3]),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_mib": mem,
        "kernel": platform.release(),
        "system": platform.platform(),
        "compiler": compiler[0] if compiler else "",
        "python": platform.python_version(),
    }


def verdict(ok):
    return "yes" if ok else "**no**"


def report(results, start, machine_info, args):
    out = []
    w = out.append
    w("Machine: %s, %d cores, %d MiB, Linux %s; %s; build type %s; commit %s; load average at the start %s, at the end %s." % (
        machine_info["cpu"], machine_info["cores"], machine_info["memory_mib"], machine_info["kernel"],
        machine_info["compiler"], machine_info["build_type"], machine_info["commit"], machine_info["load_average_at_start"],
        machine_info["load_average"]))
    w("")
    w("| operation | runs | wall ms | floor ms | ratio | over floor ms | ratio without write time | CPU ms | CPU % of wall | peak KiB | targets met |")
    w("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, r in results.items():
        ok_time = r["ratio"] <= RATIO_TARGET or r["over_ms"] <= SLACK_MS
        ok_cpu = r["cpu_share"] <= CPU_TARGET
        ok_rss = r["maxrss_kib"] <= RSS_TARGET_KIB
        missed = [t for t, ok in (("time", ok_time), ("CPU", ok_cpu), ("memory", ok_rss)) if not ok]
        w("| `%s` %s | %d | %.1f | %.1f | %.4f | %+.1f | %.4f | %.2f | %.3f | %d | %s |" % (
            " ".join(r["args"]), r["note"], r["runs"], r["wall_ms"], r["floor_ms"], r["ratio"], r["over_ms"],
            r["ratio_no_write"], r["cpu_ms"], 100 * r["cpu_share"], r["maxrss_kib"],
            "yes" if not missed else "**no** (" + ", ".join(missed) + ")"))
    w("")
    w("Wall, CPU: medians of the runs; peak memory: the largest. Floor: zel_floor, virtual time.")
    w("")
    w("| operation | floor ms | sleeps | timers | writing at 3 Mbaud | waiting for bytes | bytes out / in | wall min-max ms |")
    w("|---|---|---|---|---|---|---|---|")
    for name, r in results.items():
        f = r["floor"]
        w("| `%s` | %.1f | %.1f | %.2f | %.2f | %.1f | %d / %d | %.1f - %.1f |" % (
            " ".join(r["args"]), f["virtual_ms"], f["sleeps_ms"], f["timers_ms"], f["write_wire_ms"], f["reading_ms"],
            f["bytes_written"], f["bytes_read"], r["wall_min_ms"], r["wall_max_ms"]))
    w("")
    transfers = {n: r for n, r in results.items() if "transfer_ms" in r}
    if transfers:
        w("| transfer | image bytes | chunks | transfer wall ms | floor ms | throughput KiB/s | of 3,000,000 baud (300,000 B/s) |")
        w("|---|---|---|---|---|---|---|")
        for name, r in transfers.items():
            tp = r["image_bytes"] / (r["transfer_ms"] / 1e3)
            w("| %s | %d | %d | %.1f | %.1f | %.1f | %.1f %% |" % (
                name, r["image_bytes"], r["chunks"], r["transfer_ms"], r.get("floor_transfer_ms", 0), tp / 1024,
                100 * tp / WIRE_BYTES_PER_S))
        w("")
    if start:
        w("| start-up (no arguments) | files | wall ms | CPU ms | peak KiB | target met |")
        w("|---|---|---|---|---|---|")
        for label, s in start.items():
            w("| %s | %d | %.2f | %.2f | %d | %s |" % (label, s["files"], s["wall_ms"], s["cpu_ms"], s["maxrss_kib"],
                                                      verdict(s["wall_ms"] <= STARTUP_TARGET_MS)))
        w("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                        help="build directory with bin/zel_usb_interface, zel_hub_sim, zel_floor, zel_measure")
    parser.add_argument("--reps", type=int, default=3, help="runs per operation (default 3)")
    parser.add_argument("--only", default="", help="comma-separated operation names (see --list)")
    parser.add_argument("--files", type=int, default=10000, help="files for the start-up test (0: skip it)")
    parser.add_argument("--startup-reps", type=int, default=20)
    parser.add_argument("--json", default="", help="write every figure to this file")
    parser.add_argument("--list", action="store_true", help="list the operations and exit")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)

    ops = operations()
    if args.list:
        for op in ops:
            print("%-14s %-8s %s  %s" % (op.name, op.kind, " ".join(op.args), op.note))
        return 0
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {op.name for op in ops} - {"startup"}
        if unknown:
            parser.error("unknown operation(s): " + ", ".join(sorted(unknown)))
        ops = [op for op in ops if op.name in wanted]
    for tool in ("zel_usb_interface", "zel_hub_sim", "zel_floor", "zel_measure"):
        if not os.access(os.path.join(args.build, "bin", tool), os.X_OK):
            parser.error("%s/bin/%s is missing: build it first" % (args.build, tool))

    # -w writes the file -r read from a default HUB, so that both measure the
    # same record.
    xml = []
    if any("xml" in op.files.values() for op in ops):
        run_once(args.build, Op("r", ["-r", "{work}/net.xml"]), b"", keep_xml=xml)
    xml_text = xml[0] if xml else b""

    load_at_start = " ".join(open("/proc/loadavg").read().split()[:3])
    results = {}
    for op in ops:
        floor = floor_of(args.build, op, xml_text)
        runs = []
        for i in range(args.reps):
            runs.append(run_once(args.build, op, xml_text))
            sys.stderr.write("%s run %d: %.1f ms (floor %.1f)\n" % (op.name, i + 1, runs[-1]["wall_ms"],
                                                                   floor["virtual_ms"]))
        wall = statistics.median(r["wall_ms"] for r in runs)
        cpu = statistics.median(r["cpu_ms"] for r in runs)
        r = {
            "args": op.args if "{work}" not in " ".join(op.args) else [a.replace("{work}/", "") for a in op.args],
            "kind": op.kind,
            "note": "(" + op.note + ")" if op.note else "",
            "runs": len(runs),
            "wall_ms": wall,
            "wall_min_ms": min(x["wall_ms"] for x in runs),
            "wall_max_ms": max(x["wall_ms"] for x in runs),
            "floor_ms": floor["virtual_ms"],
            "floor": floor,
            "ratio": wall / floor["virtual_ms"] if floor["virtual_ms"] > 0 else float("inf"),
            "over_ms": wall - floor["virtual_ms"],
            # A pseudo-terminal (like a USB link) takes a write at once; the
            # floor counts each write's bytes at 3 Mbaud.
            "ratio_no_write": wall / (floor["virtual_ms"] - floor["write_wire_ms"]),
            "cpu_ms": cpu,
            "cpu_share": cpu / wall,
            "maxrss_kib": max(x["maxrss_kib"] for x in runs),
            "exits": [x["exit"] for x in runs],
            "expected_exit": op.expect,
            "all_runs": runs,
        }
        transfers = [x["transfer_ms"] for x in runs if "transfer_ms" in x]
        if transfers:
            r["transfer_ms"] = statistics.median(transfers)
            r["chunks"] = runs[0]["chunks"]
            r["image_bytes"] = image_bytes(op)
            r["floor_transfer_ms"] = floor.get("transfer_ms", 0)
        results[op.name] = r

    start = {}
    if args.files > 0 and (not args.only or "startup" in args.only.split(",")):
        start = startup(args.build, args.files, args.startup_reps)

    info = machine(args.build)
    info["load_average_at_start"] = load_at_start
    text = report(results, start, info, args)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "operations": results, "startup": start,
                       "command": " ".join(sys.argv)}, f, indent=1)
    bad = [n for n, r in results.items() if any(e != r["expected_exit"] for e in r["exits"])]
    if bad:
        sys.stderr.write("unexpected exit codes: %s\n" % ", ".join(bad))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
