#!/usr/bin/env bash
# Builds the tool and the HUB stand-in, serves a HUB on a pseudo-terminal
# and runs one operation against it (default: -hinfo), in the caller's
# folder: files the operation reads or writes (-h fw.tfh, -r out.xml) and
# its log stay there; only the stand-in's device tree is temporary.
#   scripts/demo.sh [options for zel_usb_interface]      e.g. scripts/demo.sh -r out.xml
#   ZEL_SIM_ARGS="--kind quillet" scripts/demo.sh -stest  options for zel_hub_sim
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh" native
(cd "$root" && cmake --preset native >/dev/null && cmake --build build --target zel_usb_interface zel_hub_sim >/dev/null)
work=$(mktemp -d /tmp/zel-demo.XXXXXX)
sim_pid=""
trap '[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck disable=SC2086  # ZEL_SIM_ARGS holds several options
"$root/build/bin/zel_hub_sim" --dir "$work/hub" ${ZEL_SIM_ARGS:-} >"$work/env" &
sim_pid=$!
for _ in $(seq 100); do [ "$(grep -c '^ZEL_' "$work/env" 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
eval "export $(grep '^ZEL_' "$work/env" | head -n 2 | tr '\n' ' ')"
[ $# -gt 0 ] || set -- -hinfo
set +e
"$root/build/bin/zel_usb_interface" "$@"
code=$?
set -e
echo "exit code: $code"
exit $code
