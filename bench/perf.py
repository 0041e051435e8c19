#!/usr/bin/env python3
"""Performance of zel_usb_interface against zel_hub_sim, in both timing modes.

For every operation it starts a fresh zel_hub_sim and runs the real binary
under zel_measure (wall time, user + system CPU time, peak memory of the tool
alone), once with the documented timing (the default) and once with
ZEL_TIMING=fast, alternately, for each repetition. It runs the same operation
in virtual time with zel_floor against the same model configuration, in each
mode: the floor is the least time the run takes as the tool carries it out,
its fixed waits plus the bytes on the wire at 3,000,000 baud plus the model's
reply delays and restarts. From the stand-in's trace it checks that both
modes wrote the same bytes and measures the firmware transfer's throughput.
It also measures the tool's start-up with 10,000 files in its working
directory.

usage: python3 bench/perf.py [--build DIR] [--reps N] [--only NAME,...]
                             [--modes documented,fast] [--files N]
                             [--json FILE] [--list]
       python3 bench/perf.py --trace FILE
       python3 bench/perf.py --fleet 1,8,16 [--build DIR] [--modes MODE]

--fleet upgrades N stand-in ST HUBs at once with zel_fleet -h, for each N,
beside one zel_usb_interface -h on a single HUB: the wall time of each
against the single run, the CPU of the fleet and all its runs per HUB, the
fleet's own peak memory, and whether each HUB received exactly the bytes
that -hinfo and -h (the fleet's identity pass and its operation) send to a
HUB alone.

Prints a Markdown report on standard output (docs/PERFORMANCE.md is made
from it) and keeps every figure in --json. Linux only (zel_hub_sim serves a
pseudo-terminal). One repetition of every operation in both modes takes
about four minutes, the default three about twelve.

--trace reads a ZEL_TRACE file, of a real HUB for instance, and prints what
the fast timing rests on: how soon after each opening the first request
went and whether its echo came back clean, how long the port stayed closed
across each restart, each request size's echo time, and the first byte and
the longest silence of what came after each request.
"""

import argparse
import hashlib
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

MODES = ("documented", "fast")
FALLBACK_LINE = "going on with the documented timing"  # a fast run that fell back after opening

# Targets of the report. Documented timing: near its floor, little CPU.
RATIO_TARGET = 1.02
SLACK_MS = 20.0
CPU_TARGET = 0.01
# Both modes.
RSS_TARGET_KIB = 8 * 1024
STARTUP_TARGET_MS = 50.0
# Fast timing: a wall time in ms, or ("share", s): at most s of the documented
# mode's wall time.
FAST_TARGETS = {
    "hinfo": 150.0,
    "hinfo-boot": 150.0,
    "r": 150.0,
    "rs": 150.0,
    "sinfo": 3000.0,
    "log": 3000.0,
    "srf": 2500.0,
    "sfb": 2500.0,
    "stest-quillet": 7000.0,
    "h-st": ("share", 0.80),
    "h-atmel": ("share", 0.80),
}

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
# The HUB's log for -log: 16 lines of 64 bytes, 1 KiB.
LOG_LINE = "00:00:12.500 imu: 17 sensors at 240 Hz, no frames lost so far.\r\n"
LOG_SCENARIO = "info.log_text = %s\ninfo.log_repeat = %d\n" % (LOG_LINE.replace("\r", "\\r").replace("\n", "\\n"),
                                                               KIB // len(LOG_LINE))


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
        Op("sinfo", ["-sinfo"], note="17 sensors, 1024-byte block"),
        Op("log", ["-log"], scenario=LOG_SCENARIO, note="1 KiB of log text"),
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
        Op("sfb", ["-sfb"], sim_options=["--drop-on-trigger"], note="the HUB restarts, 1.5 s off the bus"),
        Op("srf", ["-srf"], sim_options=["--drop-on-trigger"], note="the HUB restarts, 1.5 s off the bus"),
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


def tool_env(extra, mode="documented"):
    env = {k: v for k, v in os.environ.items()
           if k not in ("ZEL_SYSFS_ROOT", "ZEL_DEV_ROOT", "ZEL_PORT", "ZEL_TRACE", "ZEL_TIMING", "ZEL_JSON")}
    if mode == "fast":
        env["ZEL_TIMING"] = "fast"
    env.update(extra)
    return env


def prepare_files(op, work, xml_text):
    for name, content in op.files.items():
        if content == "xml":
            content = xml_text
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)


def floor_of(build, op, xml_text, mode):
    temp = tempfile.mkdtemp(prefix="zf", dir="/tmp")
    try:
        work = os.path.join(temp, "work")
        os.mkdir(work)
        prepare_files(op, work, xml_text)
        argv = [os.path.join(build, "bin", "zel_floor"), "--kind", op.kind] + op.sim_options
        if mode == "fast":
            argv.append("--fast")
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


def load_1min():
    return float(open("/proc/loadavg").read().split()[0])


def run_once(build, op, xml_text, mode, keep_xml=None):
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
        env = tool_env({"ZEL_SYSFS_ROOT": sim.env["ZEL_SYSFS_ROOT"], "ZEL_DEV_ROOT": sim.env["ZEL_DEV_ROOT"]}, mode)
        load = load_1min()
        r = measure(build, argv, work, env, os.path.join(work, ".out"), os.path.join(work, ".err"))
        r["load_1min"] = load
        sim.stop()
        lines = sim.trace_lines()
        seconds, chunks = transfer_from_trace(lines)
        if seconds is not None:
            r["transfer_ms"] = seconds * 1e3
            r["chunks"] = chunks
        # What the tool wrote, on the bus or into a HUB that had left it.
        written = b"".join(data for _, tag, data in lines if tag in ("->", "x>"))
        r["written_bytes"] = len(written)
        r["written_hash"] = hashlib.sha256(written).hexdigest()
        out = open(os.path.join(work, ".out"), errors="replace").read()
        r["fell_back"] = FALLBACK_LINE in out
        if keep_xml is not None and os.path.exists(os.path.join(work, "net.xml")):
            keep_xml.append(open(os.path.join(work, "net.xml"), "rb").read())
        if r["exit"] != op.expect:
            sys.stderr.write("%s (%s): exit %d, expected %d\n%s\n" % (op.name, mode, r["exit"], op.expect, out[-2000:]))
        return r
    finally:
        sim.cleanup()
        shutil.rmtree(work, ignore_errors=True)
        if sim_temp:
            shutil.rmtree(sim_temp, ignore_errors=True)


# zel_fleet: N HUBs upgraded at once against one run on one HUB.
FLEET_TARGETS = {8: 1.25, 16: 1.5}  # wall time / single -h
FLEET_CPU_SHARE = 0.02  # of one core, per HUB


def start_sim(build, temp, hubs):
    trace = os.path.join(temp, "trace.txt")
    proc = subprocess.Popen([os.path.join(build, "bin", "zel_hub_sim"), "--dir", os.path.join(temp, "hub"),
                             "--trace", trace, "--hubs", str(hubs), "--kinds", "st", "--exit-after-idle", "300"],
                            stdout=subprocess.PIPE, stderr=open(os.path.join(temp, "sim.err"), "w"))
    text = b""
    deadline = time.monotonic() + 10
    while text.count(b"\n") < 2 and time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.1)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 512)
            if not chunk:
                break
            text += chunk
    env = dict(line.split("=", 1) for line in text.decode().splitlines() if "=" in line)
    return proc, trace, {k: v.strip("'") for k, v in env.items()}


def written_by_hub(trace):
    """The bytes the tools wrote to each HUB (on the bus or lost), by location."""
    by = {}
    for line in open(trace):
        words = line.split()
        if len(words) < 3:
            continue
        where = "1-1"
        if words[1].startswith("["):
            where, words = words[1].strip("[]"), words[1:]
        if words[1] in ("->", "x>"):
            by[where] = by.get(where, b"") + bytes(int(w, 16) for w in words[3:])
    return by


def timed(argv, cwd, env, watch_rss=False):
    """Wall ms, CPU ms of the program and every child it waited for, its own peak RSS (KiB)."""
    began = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdout=open(os.path.join(cwd, ".out"), "w"),
                            stderr=subprocess.STDOUT)
    peak = 0
    while True:
        if watch_rss:
            try:
                for line in open("/proc/%d/status" % proc.pid):
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
            except OSError:
                pass
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            break
        time.sleep(0.02)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return {"wall_ms": (time.monotonic() - began) * 1e3, "cpu_ms": (usage.ru_utime + usage.ru_stime) * 1e3,
            "rss_kib": peak, "exit": proc.returncode}


def fleet_bench(build, counts, mode):
    temp = tempfile.mkdtemp(prefix="zf", dir="/tmp")
    image = os.path.join(temp, "st.tfh")
    subprocess.check_call([os.path.join(build, "bin", "zel_hub_sim"), "--make-image", "st", image],
                          stdout=subprocess.DEVNULL)
    rows = []
    try:
        # One HUB alone: what the fleet's identity pass and its operation send, run by hand.
        work = os.path.join(temp, "single")
        os.mkdir(work)
        proc, trace, sim_env = start_sim(build, work, 1)
        env = tool_env({k: sim_env[k] for k in ("ZEL_SYSFS_ROOT", "ZEL_DEV_ROOT")}, mode)
        tool = os.path.join(build, "bin", "zel_usb_interface")
        timed([tool, "-hinfo"], work, env)
        single = timed([tool, "-h", image], work, env)
        proc.send_signal(signal.SIGTERM)
        proc.wait(10)
        alone = written_by_hub(trace)["1-1"]
        load = load_1min()
        for n in counts:
            work = os.path.join(temp, "f%d" % n)  # port names stay within 39 characters
            os.mkdir(work)
            proc, trace, sim_env = start_sim(build, work, n)
            env = tool_env({k: sim_env[k] for k in ("ZEL_SYSFS_ROOT", "ZEL_DEV_ROOT")}, mode)
            r = timed([os.path.join(build, "bin", "zel_fleet"), "-h", image, "--timing", mode, "--history",
                       os.path.join(work, "history.jsonl")], work, env, watch_rss=True)
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
            got = written_by_hub(trace)
            # A HUB that got other bytes: its location, and how many it got against a run alone.
            other = ["%s (%d, alone %d)" % (k, len(b), len(alone)) for k, b in sorted(got.items()) if b != alone]
            other += ["%d HUBs in the trace: %s" % (len(got), " ".join(sorted(got)))] if len(got) != n else []
            r.update(hubs=n, ratio=r["wall_ms"] / single["wall_ms"],
                     cpu_share=r["cpu_ms"] / r["wall_ms"] / n, other=other,
                     same_bytes=len(got) == n and not other)
            rows.append(r)
    finally:
        shutil.rmtree(temp, ignore_errors=True)
    out = ["Load average (1 min) before the runs: %.2f. Command: `python3 bench/perf.py %s`." % (
        load, " ".join(sys.argv[1:])), "",
        "| HUBs | exit | fleet wall s | single -h wall s | fleet / single | target | CPU per HUB (% of a core) "
        "| fleet peak RSS KiB | same bytes as alone |",
        "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        target = FLEET_TARGETS.get(r["hubs"])
        out.append("| %d | %d | %.1f | %.1f | %.2f | %s | %.2f (%s) | %d | %s |" % (
            r["hubs"], r["exit"], r["wall_ms"] / 1e3, single["wall_ms"] / 1e3, r["ratio"],
            "<= %.2f %s" % (target, verdict(r["ratio"] <= target)) if target else "-", 100 * r["cpu_share"],
            verdict(r["cpu_share"] <= FLEET_CPU_SHARE), r["rss_kib"],
            verdict(r["same_bytes"]) + ("" if r["same_bytes"] else ": " + ", ".join(r["other"]))))
    return "\n".join(out), all(r["exit"] == 0 for r in rows)


def image_bytes(op):
    """The firmware bytes an upgrade sends (the data of every part, not the headers)."""
    for name, content in op.files.items():
        if isinstance(content, bytes) and content[:4] == b"ZELS":
            if content[4:5] == b"F":
                return struct.unpack_from("<I", content, 68)[0] + struct.unpack_from("<I", content, 72)[0]
            offset = struct.unpack_from("<I", content, 12)[0]
            return struct.unpack_from("<I", content, offset + 12)[0]
    return 0


# --- a real HUB's wire trace: the figures the fast timing assumes ------------------------

def read_tool_trace(path):
    """The entries of a ZEL_TRACE file: (ms since the tool started, what, result, bytes).

    A line: "<date> <time> +<ms> ms <what> [<port>] <result>[: <hex bytes>]", more
    bytes on lines that start with four blanks.
    """
    entries = []
    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("    ") and entries:
                entries[-1][3].extend(int(w, 16) for w in line.split())
                continue
            head, _, hex_bytes = line.partition(": ")
            words = head.split()
            if len(words) < 6 or not words[2].startswith("+") or words[3] != "ms":
                continue
            try:
                entries.append((float(words[2][1:]), words[4], int(words[-1]), bytearray.fromhex(hex_bytes)))
            except ValueError:
                continue
    return entries


def trace_figures(path):
    """What a trace of a real HUB says about the fast timing's assumptions, as Markdown."""
    entries = read_tool_trace(path)
    out = []
    w = out.append
    # Openings: how long after the open the first request went, and whether its echo came back whole and equal.
    w("| opening at ms | after a restart (closed ms before) | first request after ms | its echo |")
    w("|---|---|---|---|")
    last_close = None
    for i, (t, what, result, _) in enumerate(entries):
        if what == "CLOSE":
            last_close = t
        if what != "OPEN":
            continue
        tx = next((j for j in range(i + 1, len(entries)) if entries[j][1] in ("TX", "CLOSE")), None)
        if tx is None or entries[tx][1] != "TX":
            echo = "(nothing sent)"
        else:
            sent = entries[tx][3]
            back = bytearray()
            for _, what2, _, data2 in entries[tx + 1:]:
                if what2 != "RX" or len(back) >= len(sent):
                    break
                back += data2
            echo = "clean" if back[:len(sent)] == sent else "**%d of %d bytes, %s**" % (
                min(len(back), len(sent)), len(sent), "equal" if sent.startswith(back) else "changed")
        w("| %.1f | %s | %s | %s |" % (t, "%.1f" % (t - last_close) if last_close is not None else "-",
                                       "%.1f" % (entries[tx][0] - t) if tx is not None and entries[tx][1] == "TX"
                                       else "-", echo))
    w("")
    # Echoes: from each request's write to the read that completed its echo.
    echoes = {}
    for i, (t, what, result, data) in enumerate(entries):
        if what != "TX" or result <= 0:
            continue
        got, pieces = 0, 0
        for t2, what2, _, data2 in entries[i + 1:]:
            if what2 != "RX":
                break
            if data2:
                got += len(data2)
                pieces += 1
            if got >= result:
                echoes.setdefault(result, []).append((t2 - t, pieces))
                break
    w("| request bytes | echoes | write to whole echo ms: min / median / max | echoes read in more than one piece |")
    w("|---|---|---|---|")
    for size in sorted(echoes):
        times = [x[0] for x in echoes[size]]
        w("| %d | %d | %.2f / %.2f / %.2f | %d |" % (size, len(times), min(times), statistics.median(times), max(times),
                                                    sum(1 for x in echoes[size] if x[1] > 1)))
    w("")
    # Streams: what came after each request's echo, and its longest silence. A silence
    # is the time between two reads that brought bytes, so it includes up to the
    # 10 ms a read waits after its last byte.
    w("| after the request at ms | bytes after the echo | first byte after ms | longest silence ms | bytes before it |")
    w("|---|---|---|---|---|")
    for i, (t, what, result, data) in enumerate(entries):
        if what != "TX" or result <= 0:
            continue
        echo_left, pieces, echoed_at = result, [], t
        for t2, what2, _, data2 in entries[i + 1:]:
            if what2 != "RX":
                break
            n = len(data2)
            if echo_left > 0:
                used = min(echo_left, n)
                echo_left -= used
                n -= used
                echoed_at = t2
            if n > 0:
                pieces.append((t2, n))
        if not pieces:
            continue
        gaps = [(pieces[k + 1][0] - pieces[k][0], sum(n for _, n in pieces[:k + 1])) for k in range(len(pieces) - 1)]
        gap, before = max(gaps) if gaps else (None, None)
        w("| %.1f | %d | %.1f | %s | %s |" % (t, sum(n for _, n in pieces), pieces[0][0] - echoed_at,
                                             "%.1f" % gap if gaps else "-", before if gaps else "-"))
    w("")
    return "\n".join(out)


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
    # Local changes to what the Linux build and this bench are made of.
    changed = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--", "app", "src", "serial", "log",
                              "platform", "sim", "bench", "CMakeLists.txt"], capture_output=True,
                             text=True).stdout.splitlines()
    if changed:
        commit += " with local changes to " + ", ".join(sorted(line[3:] for line in changed))
    return {
        "build_type": build_type or "(none given)",
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


KIND_NAMES = {"st": "ST", "atmel": "Atmel", "quillet": "Quillet"}


def name_of(results, r):
    """The operation's arguments, and its HUB kind where another operation has the same arguments."""
    same = [x for x in results.values() if x["args"] == r["args"]]
    return "`%s`%s" % (" ".join(r["args"]), " " + KIND_NAMES[r["kind"]] if len(same) > 1 else "")


def label(r):
    return "`%s`%s" % (" ".join(r["args"]), " " + r["note"] if r["note"] else "")


def both_modes(r, form, figure, merge=False):
    """A figure of both modes as "documented / fast" (one value when merge and they are equal)."""
    texts = [form % figure(r[mode]) for mode in MODES if mode in r]
    if merge and len(set(texts)) == 1:
        return texts[0]
    return " / ".join(texts)


def seconds_or_ms(ms):
    return "%.1f ms" % ms if ms < 1000 else "%.2f s" % (ms / 1e3)


def fast_target(name, r):
    """The fast mode's target for an operation as text, and whether it is met (None: no target)."""
    target = FAST_TARGETS.get(name)
    if target is None:
        return "", None
    if isinstance(target, tuple):
        share = target[1]
        if "documented" not in r:
            return "", None
        ok = r["fast"]["wall_ms"] <= share * r["documented"]["wall_ms"]
        return "≤ %d %% of documented" % round(100 * share), ok
    return ("≤ %g ms" % target if target < 1000 else "≤ %g s" % (target / 1000)), r["fast"]["wall_ms"] <= target


def documented_time_ok(m):
    return m["ratio"] <= RATIO_TARGET or m["over_ms"] <= SLACK_MS


def summary(results, start):
    rows = []
    doc = {n: r["documented"] for n, r in results.items() if "documented" in r}
    if doc:
        worst = max(doc, key=lambda n: doc[n]["ratio"])
        excess = max(doc, key=lambda n: doc[n]["over_ms"])
        rows.append(("wall ≤ 1.02 × floor, or floor + 20 ms", "documented",
                     "ratio %.4f (%+.1f ms), %s; largest excess %+.1f ms (ratio %.4f), %s" % (
                         doc[worst]["ratio"], doc[worst]["over_ms"], name_of(results, results[worst]),
                         doc[excess]["over_ms"], doc[excess]["ratio"], name_of(results, results[excess])),
                     all(documented_time_ok(m) for m in doc.values())))
        worst = max(doc, key=lambda n: doc[n]["cpu_share"])
        rows.append(("CPU ≤ 1 % of wall", "documented", "%.3f %%, %s (%.1f ms in %.1f s)" % (
            100 * doc[worst]["cpu_share"], name_of(results, results[worst]), doc[worst]["cpu_ms"],
            doc[worst]["wall_ms"] / 1e3), all(m["cpu_share"] <= CPU_TARGET for m in doc.values())))
    both = [(n, mode, r[mode]) for n, r in results.items() for mode in MODES if mode in r]
    if both:
        n, mode, m = max(both, key=lambda x: x[2]["maxrss_kib"])
        rows.append(("peak memory ≤ 8 MiB", "both",
                     "%d KiB, %s (%s)" % (m["maxrss_kib"], name_of(results, results[n]), mode),
                     all(x[2]["maxrss_kib"] <= RSS_TARGET_KIB for x in both)))
    if start:
        rows.append(("start-up ≤ 50 ms with %d files" % start["crowded"]["files"], "both",
                     "%.1f ms" % start["crowded"]["wall_ms"], start["crowded"]["wall_ms"] <= STARTUP_TARGET_MS))
    for name, r in results.items():
        text, ok = fast_target(name, r) if "fast" in r else ("", None)
        if ok is None:
            continue
        f = r["fast"]
        measured = seconds_or_ms(f["wall_ms"])
        if f["runs"] > 1:
            measured += " (slowest %s)" % seconds_or_ms(f["wall_max_ms"])
        if isinstance(FAST_TARGETS[name], tuple):
            measured += ", %.2f %% of %.2f s" % (100 * r["fast_share"], r["documented"]["wall_ms"] / 1e3)
        rows.append(("%s %s" % (label(r), text), "fast", measured, ok))
    pairs = [r for r in results.values() if "same_bytes" in r]
    if pairs:
        differ = [" ".join(r["args"]) for r in pairs if not r["same_bytes"]]
        rows.append(("the same bytes written in both modes", "both",
                     "%d of %d operations%s" % (len(pairs) - len(differ), len(pairs),
                                                 "; differ: " + ", ".join(differ) if differ else ""), not differ))
    fell = [" ".join(r["args"]) for r in results.values() if r.get("fast", {}).get("fell_back")]
    if "fast" in next(iter(results.values()), {}):
        rows.append(("no fast run falls back to the documented timing", "fast",
                     "%d runs fell back%s" % (sum(r["fast"]["fell_back"] for r in results.values() if "fast" in r),
                                              ": " + ", ".join(fell) if fell else ""), not fell))
    return rows


def report(results, start, machine_info, args):
    out = []
    w = out.append
    loads = [x["load_1min"] for r in results.values() for mode in MODES if mode in r for x in r[mode]["all_runs"]]
    w("Machine: %s, %d cores, %d MiB, Linux %s; %s; build type %s; commit %s." % (
        machine_info["cpu"], machine_info["cores"], machine_info["memory_mib"], machine_info["kernel"],
        machine_info["compiler"], machine_info["build_type"], machine_info["commit"]))
    w("Load average at the start %s, at the end %s%s. Command: `%s`; %.1f minutes." % (
        machine_info["load_average_at_start"], machine_info["load_average"],
        "; 1-minute load before each run %.2f-%.2f (median %.2f)" % (min(loads), max(loads), statistics.median(loads))
        if loads else "", machine_info["command"], machine_info["minutes"]))
    w("")
    w("| target | mode | measured | met |")
    w("|---|---|---|---|")
    for target, mode, measured, ok in summary(results, start):
        w("| %s | %s | %s | %s |" % (target, mode, measured, verdict(ok)))
    w("")
    if results:
        w("| operation | runs | documented wall ms | floor ms | over floor ms | fast wall ms | fast floor ms | "
          "fast / documented | fast target | met |")
        w("|---|---|---|---|---|---|---|---|---|---|")
        for name, r in results.items():
            d, f = r.get("documented"), r.get("fast")
            text, ok = fast_target(name, r) if f else ("", None)
            w("| %s | %d | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                label(r), r["runs"], "%.1f" % d["wall_ms"] if d else "", "%.1f" % d["floor_ms"] if d else "",
                "%+.1f" % d["over_ms"] if d else "", "%.1f" % f["wall_ms"] if f else "",
                "%.1f" % f["floor_ms"] if f else "", "%.3f" % r["fast_share"] if d and f else "", text or "-",
                verdict(ok) if ok is not None else "-"))
        w("")
        w("Wall, CPU: medians of the runs; peak memory: the largest. Floors: zel_floor, virtual time.")
        w("")
        w("Each cell of the next tables: documented / fast.")
        w("")
        w("| operation | CPU ms | CPU % of wall | peak KiB | wall min - max ms | bytes written | same bytes |")
        w("|---|---|---|---|---|---|---|")
        for name, r in results.items():
            w("| %s | %s | %s | %s | %s | %s | %s |" % (
                name_of(results, r), both_modes(r, "%.2f", lambda m: m["cpu_ms"]),
                both_modes(r, "%.3f", lambda m: 100 * m["cpu_share"]), both_modes(r, "%d", lambda m: m["maxrss_kib"]),
                both_modes(r, "%s", lambda m: "%.1f - %.1f" % (m["wall_min_ms"], m["wall_max_ms"])),
                both_modes(r, "%d", lambda m: m["all_runs"][0]["written_bytes"], merge=True),
                verdict(r["same_bytes"]) if "same_bytes" in r else "-"))
        w("")
        w("What the floors are made of, in ms. *Waiting for bytes* is the time in reads beyond the sleeps and "
          "timers: replies, restarts, and reads that run out their time-outs.")
        w("")
        w("| operation | floor | sleeps | timers | writing at 3 Mbaud | waiting for bytes | bytes out / in |")
        w("|---|---|---|---|---|---|---|")
        for name, r in results.items():
            w("| %s | %s | %s | %s | %s | %s | %s |" % (
                name_of(results, r), both_modes(r, "%.1f", lambda m: m["floor"]["virtual_ms"]),
                both_modes(r, "%.1f", lambda m: m["floor"]["sleeps_ms"]),
                both_modes(r, "%.2f", lambda m: m["floor"]["timers_ms"]),
                both_modes(r, "%.2f", lambda m: m["floor"]["write_wire_ms"], merge=True),
                both_modes(r, "%.1f", lambda m: m["floor"]["reading_ms"]),
                both_modes(r, "%s", lambda m: "%d / %d" % (m["floor"]["bytes_written"], m["floor"]["bytes_read"]),
                           merge=True)))
        w("")
    transfers = [(n, r) for n, r in results.items() if any("transfer_ms" in r.get(mode, {}) for mode in MODES)]
    if transfers:
        w("| transfer | image bytes | chunks | transfer wall ms | floor ms | throughput KiB/s | "
          "of 3,000,000 baud (300,000 B/s) |")
        w("|---|---|---|---|---|---|---|")
        for name, r in transfers:
            m = next(r[mode] for mode in MODES if mode in r)
            w("| %s | %d | %d | %s | %s | %s | %s |" % (
                name_of(results, r), m["image_bytes"], m["chunks"],
                both_modes(r, "%.1f", lambda x: x["transfer_ms"]),
                both_modes(r, "%.1f", lambda x: x["floor_transfer_ms"], merge=True),
                both_modes(r, "%.1f", lambda x: x["image_bytes"] / x["transfer_ms"] * 1e3 / 1024),
                both_modes(r, "%.1f %%", lambda x: 100 * x["image_bytes"] / x["transfer_ms"] * 1e3 / WIRE_BYTES_PER_S)))
        w("")
    if start:
        w("| start-up (no arguments) | files | wall ms | CPU ms | peak KiB | target met |")
        w("|---|---|---|---|---|---|")
        for name, st in start.items():
            w("| %s | %d | %.2f | %.2f | %d | %s |" % (name, st["files"], st["wall_ms"], st["cpu_ms"], st["maxrss_kib"],
                                                      verdict(st["wall_ms"] <= STARTUP_TARGET_MS)))
        w("")
    return "\n".join(out)


def mode_figures(op, runs, floor):
    """The figures of one operation in one timing mode."""
    wall = statistics.median(x["wall_ms"] for x in runs)
    cpu = statistics.median(x["cpu_ms"] for x in runs)
    m = {
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
        "fell_back": sum(1 for x in runs if x["fell_back"]),
        "all_runs": runs,
    }
    transfers = [x["transfer_ms"] for x in runs if "transfer_ms" in x]
    if transfers:
        m["transfer_ms"] = statistics.median(transfers)
        m["chunks"] = runs[0]["chunks"]
        m["image_bytes"] = image_bytes(op)
        m["floor_transfer_ms"] = floor.get("transfer_ms", 0)
    return m


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"),
                        help="build directory with bin/zel_usb_interface, zel_hub_sim, zel_floor, zel_measure")
    parser.add_argument("--reps", type=int, default=3, help="runs per operation and mode (default 3)")
    parser.add_argument("--only", default="", help="comma-separated operation names (see --list)")
    parser.add_argument("--modes", default=",".join(MODES), help="timing modes to run (default: documented,fast)")
    parser.add_argument("--files", type=int, default=10000, help="files for the start-up test (0: skip it)")
    parser.add_argument("--startup-reps", type=int, default=20)
    parser.add_argument("--json", default="", help="write every figure to this file")
    parser.add_argument("--list", action="store_true", help="list the operations and exit")
    parser.add_argument("--trace", default="", metavar="FILE",
                        help="print what a ZEL_TRACE file of a real HUB says about the fast timing, and exit")
    parser.add_argument("--fleet", default="", metavar="N,N,...",
                        help="zel_fleet -h on N stand-in HUBs at once for each N, against one single -h, and exit")
    args = parser.parse_args()
    if args.fleet:
        mode = args.modes.split(",")[0]
        text, ok = fleet_bench(os.path.abspath(args.build), [int(n) for n in args.fleet.split(",")], mode)
        print(text)
        return 0 if ok else 1
    if args.trace:
        print(trace_figures(args.trace))
        return 0
    args.build = os.path.abspath(args.build)
    began = time.monotonic()

    ops = operations()
    if args.list:
        for op in ops:
            target = FAST_TARGETS.get(op.name)
            text = ("fast ≤ %d %% of documented" % round(100 * target[1]) if isinstance(target, tuple)
                    else "fast ≤ %g ms" % target if target else "")
            print("%-14s %-8s %-24s %-44s %s" % (op.name, op.kind, " ".join(op.args), op.note, text))
        print("%-14s %-8s %s" % ("startup", "", "no arguments, in an empty and in a crowded directory"))
        return 0
    modes = [m for m in args.modes.split(",") if m]
    if not modes or set(modes) - set(MODES):
        parser.error("--modes takes documented, fast or both")
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
        run_once(args.build, Op("r", ["-r", "{work}/net.xml"]), b"", "fast", keep_xml=xml)
    xml_text = xml[0] if xml else b""

    load_at_start = " ".join(open("/proc/loadavg").read().split()[:3])
    commit_at_start = machine(args.build)["commit"]
    results = {}
    for op in ops:
        floors = {mode: floor_of(args.build, op, xml_text, mode) for mode in modes}
        runs = {mode: [] for mode in modes}
        # The modes take turns, so a change of the machine's load touches both.
        for i in range(args.reps):
            for mode in modes:
                runs[mode].append(run_once(args.build, op, xml_text, mode))
                sys.stderr.write("%s %s run %d: %.1f ms (floor %.1f)\n" % (
                    op.name, mode, i + 1, runs[mode][-1]["wall_ms"], floors[mode]["virtual_ms"]))
        r = {
            "args": op.args if "{work}" not in " ".join(op.args) else [a.replace("{work}/", "") for a in op.args],
            "kind": op.kind,
            "note": "(" + op.note + ")" if op.note else "",
            "runs": args.reps,
            "expected_exit": op.expect,
        }
        for mode in modes:
            r[mode] = mode_figures(op, runs[mode], floors[mode])
        if len(modes) == 2:
            r["fast_share"] = r["fast"]["wall_ms"] / r["documented"]["wall_ms"]
            hashes = {x["written_hash"] for mode in modes for x in runs[mode]}
            r["same_bytes"] = len(hashes) == 1
        results[op.name] = r

    start = {}
    if args.files > 0 and (not args.only or "startup" in args.only.split(",")):
        start = startup(args.build, args.files, args.startup_reps)

    info = machine(args.build)
    info["load_average_at_start"] = load_at_start
    if info["commit"] != commit_at_start:
        info["commit"] = "%s at the start, %s at the end" % (commit_at_start, info["commit"])
    info["command"] = "python3 bench/perf.py " + " ".join(sys.argv[1:])
    info["minutes"] = (time.monotonic() - began) / 60
    text = report(results, start, info, args)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "operations": results, "startup": start}, f, indent=1)
    bad = [n for n, r in results.items() for mode in modes if any(e != r["expected_exit"] for e in r[mode]["exits"])]
    if bad:
        sys.stderr.write("unexpected exit codes: %s\n" % ", ".join(sorted(set(bad))))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
