#!/usr/bin/env python3
"""Upgrades the firmware of every attached HUB in turn, from the run records.

Lists the HUBs with `zel_usb_interface -list`, then runs `-h IMAGE` once per
HUB with ZEL_PORT naming it, keeps every run's JSON record (ZEL_JSON) and
prints a summary table from the records. An image is chosen per HUB kind:
--atmel, --quillet and --st name the image for that kind; IMAGE, when given,
is used for the kinds without one of their own.

usage: upgrade-all.py [--tool PATH] [--records DIR]
                      [--atmel FILE] [--quillet FILE] [--st FILE] [IMAGE]
"""
import argparse
import json
import os
import subprocess
import sys

KINDS = {"Torvane (Atmel)": "atmel", "Quillet": "quillet", "Torvane (ST)": "st"}


def run(tool, args, record, port=None):
    env = dict(os.environ, ZEL_JSON=record)
    if port:
        env["ZEL_PORT"] = port
    subprocess.run([tool] + args, env=env, stdout=subprocess.DEVNULL, check=False)
    with open(record, encoding="utf-8") as f:
        return json.load(f)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("image", nargs="?")
    parser.add_argument("--tool", default="zel_usb_interface")
    parser.add_argument("--records", default=".")
    for kind in KINDS.values():
        parser.add_argument("--" + kind)
    args = parser.parse_args()
    os.makedirs(args.records, exist_ok=True)

    hubs = run(args.tool, ["-list"], os.path.join(args.records, "list.json"))["data"]["hubs"]
    if not hubs:
        print("No HUB attached.")
        return 1
    rows = [("port", "location", "kind", "result", "firmware", "took")]
    failed = 0
    for n, hub in enumerate(hubs, 1):
        image = getattr(args, KINDS.get(hub["kind"], ""), None) or args.image
        if not image:
            rows.append((hub["port"], hub["location"], hub["kind"], "-", "no image for this kind", ""))
            continue
        record = run(args.tool, ["-h", image], os.path.join(args.records, f"hub-{n}.json"), hub["port"])
        report = record["data"].get("hub", {})
        failed += record["result"] != 0
        rows.append((hub["port"], hub["location"], hub["kind"], str(record["result"]),
                     report.get("firmware_version", "-"), f"{record['duration_s']:.1f} s"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
