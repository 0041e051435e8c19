#!/usr/bin/env bash
# Builds the tool and the HUB stand-in, serves a HUB on a pseudo-terminal
# and runs one operation against it (default: -hinfo).
#   scripts/demo.sh [options for zel_usb_interface]   e.g. scripts/demo.sh -sfb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" native
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target zel_usb_interface zel_hub_sim >/dev/null
work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$root/build/bin/zel_hub_sim" --dir "$work/hub" ${ZEL_SIM_ARGS:-} >"$work/env" &
sim_pid=$!
for _ in $(seq 100); do [ "$(grep -c '^ZEL_' "$work/env" 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
eval "export $(grep '^ZEL_' "$work/env" | head -n 2 | tr '\n' ' ')"
mkdir -p "$work/run" && cd "$work/run"
[ $# -gt 0 ] || set -- -hinfo
set +e
"$root/build/bin/zel_usb_interface" "$@"
code=$?
set -e
echo "exit code: $code"
exit $code
