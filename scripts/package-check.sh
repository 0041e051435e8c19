#!/usr/bin/env bash
# Builds the Debian package and the Windows zip, installs the .deb on this
# machine and runs the installed tool once against the HUB stand-in.
# Expects build/ (Linux) and build-win/ (Windows) to be built already.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/build" && cpack >/dev/null
deb=$(ls "$root"/build/zel-usb-interface_*_amd64.deb)
echo "package: $deb"
if [ -d "$root/build-win" ]; then
  (cd "$root/build-win" && cpack >/dev/null)
  zip=$(ls "$root"/build-win/zel-usb-interface_*_windows-x64.zip)
  echo "package: $zip"
  python3 -c "import sys, zipfile; n = zipfile.ZipFile(sys.argv[1]).namelist(); assert {'zel_usb_interface.exe', 'zel_fleet.exe', 'README.txt'} <= set(n), n" "$zip"
fi
dpkg -i "$deb" >/dev/null
test -x /usr/bin/zel_usb_interface
test -x /usr/bin/zel_fleet
test -f /usr/lib/udev/rules.d/70-zel-hub.rules
man -l /usr/share/man/man1/zel_usb_interface.1 2>/dev/null | grep -E "zel_usb_interface +- +service +tool" >/dev/null
man -l /usr/share/man/man1/zel_fleet.1 2>/dev/null | grep -E "zel_fleet +- +" >/dev/null
echo "man pages render: ok"
# Each man page's EXIT STATUS lists the codes of its README table, no more, no less.
python3 - "$root" <<'PY'
import re, sys
root = sys.argv[1]
section = open(f"{root}/README.md").read().split("## Exit codes", 1)[1].split("\n## ", 1)[0]
tool, fleet = section.split("### zel_fleet", 1)
codes = lambda lines: {int(n) for line in lines for n in re.findall(r"\d+", line)}
for program, readme in (("zel_usb_interface", tool), ("zel_fleet", fleet)):
    man = open(f"{root}/docs/{program}.1").read().split(".SH EXIT STATUS", 1)[1].split(".SH ", 1)[0]
    table = codes(re.findall(r"^\| ([\d, ]+) \|", readme, re.M))
    listed = codes(re.findall(r"^\.B ([\d, ]+)$", man, re.M))
    assert table == listed, f"{program}: README {sorted(table)} != man page {sorted(listed)}"
    print(f"exit codes of README and the man page of {program} agree: {sorted(table)}")
PY

work=$(mktemp -d)
"$root/build/bin/zel_hub_sim" --dir "$work/hub" --exit-after-idle 30 >"$work/env" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ "$(grep -c '^ZEL_' "$work/env" 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
eval "export $(grep '^ZEL_' "$work/env" | head -n 2 | tr '\n' ' ')"
mkdir "$work/run" && cd "$work/run"
/usr/bin/zel_usb_interface -hinfo >"$work/out"
grep -q "Unique ID number for HUB is:" "$work/out"
ls zel_USB_Logger_*.log >/dev/null
echo "installed tool ran -hinfo against the stand-in: ok"
