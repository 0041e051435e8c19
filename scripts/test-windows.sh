#!/usr/bin/env bash
# Cross-builds the Windows binaries with mingw-w64, checks the version and
# manifest Windows will see in the tool, and runs the test suite under wine.
# Exits with ctest's status.
#
#   scripts/test-windows.sh            build in build-win/, then test
#
# Environment: ZEL_WINE_TIMEOUT (seconds for the whole wine step, default 900),
#              ZEL_WERROR (ON by default: warnings fail the build).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT="$PWD"
BUILD="$ROOT/build-win"
WINE_TIMEOUT="${ZEL_WINE_TIMEOUT:-900}"

log() { printf '== %s\n' "$*" >&2; }

# --- tools ------------------------------------------------------------------
need_packages=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_packages+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need_packages+=(wine wine64)
command -v cmake >/dev/null || need_packages+=(cmake)
command -v ninja >/dev/null || need_packages+=(ninja-build)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_packages+=(googletest)
[ -f /usr/include/rapidxml/rapidxml.hpp ] || need_packages+=(librapidxml-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need_packages+=(nlohmann-json3-dev)
command -v python3 >/dev/null || need_packages+=(python3)
if [ "${#need_packages[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${need_packages[*]} (run as root or install them)" >&2
        exit 2
    fi
    log "installing ${need_packages[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need_packages[@]}"
fi

# --- build ------------------------------------------------------------------
log "configuring $BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DZEL_WERROR="${ZEL_WERROR:-ON}"
log "building"
cmake --build "$BUILD" -j 2

for exe in zel_usb_interface.exe zel_fleet.exe zel_fleet_tests.exe zel_unit_tests.exe zel_scenario_tests.exe zel_robust_tests.exe; do
    [ -f "$BUILD/bin/$exe" ] || { echo "missing $BUILD/bin/$exe" >&2; exit 1; }
done

# What Windows shows for the tool and the fleet: the project's version, and the manifest.
version="$(sed -n 's/^project(zel_usb_interface VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
for exe in zel_usb_interface.exe zel_fleet.exe; do
python3 - "$BUILD/bin/$exe" "$version" <<'EOF'
import struct, sys

data = open(sys.argv[1], "rb").read()
want = sys.argv[2]
start = data.find("VS_VERSION_INFO".encode("utf-16-le"))
fixed = data.find(struct.pack("<I", 0xFEEF04BD), start) if start >= 0 else -1
if fixed < 0:
    sys.exit(f"{sys.argv[1]}: no version resource")


def text(key):
    """A StringFileInfo value: after its key and the NUL padding."""
    at = data.find((key + "\0").encode("utf-16-le"), start)
    if at < 0:
        return None
    at += 2 * (len(key) + 1)
    while data[at:at + 2] == b"\0\0":
        at += 2
    end = at
    while end < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


problems = []
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, fixed + 8)
for what, high, low in (("file version", file_ms, file_ls), ("product version", product_ms, product_ls)):
    got = f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
    if got != want + ".0":
        problems.append(f"{what} {got}, not {want}.0")
for key, expected in (("FileVersion", want), ("ProductVersion", want), ("ProductName", "zel_usb_interface")):
    if text(key) != expected:
        problems.append(f"{key} {text(key)!r}, not {expected!r}")
if not text("FileDescription"):
    problems.append("no FileDescription")
if b"asInvoker" not in data or b"longPathAware" not in data:
    problems.append("no manifest asking for asInvoker and longPathAware")
if b"activeCodePage" in data:
    problems.append("the manifest sets a code page")
if problems:
    sys.exit(f"{sys.argv[1]}: " + "; ".join(problems))
print(f"== {sys.argv[1]}: version {want}, manifest asInvoker and longPathAware", file=sys.stderr)
EOF
done

# --- wine -------------------------------------------------------------------
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No prompts to download the .NET and HTML engines while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

PTY_PID=""
WINESERVER_PID=""
ANCHOR_PID=""
cleanup() {
    if [ -n "$ANCHOR_PID" ]; then
        exec 9>&-
        kill "$ANCHOR_PID" 2>/dev/null || true
        wait "$ANCHOR_PID" 2>/dev/null || true
        ANCHOR_PID=""
        rm -f "$ANCHOR_FIFO"
    fi
    if [ -n "$WINESERVER_PID" ]; then
        wineserver -k 2>/dev/null || true
        wait "$WINESERVER_PID" 2>/dev/null || true
        WINESERVER_PID=""
    fi
    if [ -n "$PTY_PID" ]; then
        kill "$PTY_PID" 2>/dev/null || true
        wait "$PTY_PID" 2>/dev/null || true
        PTY_PID=""
    fi
    rm -f "$WINEPREFIX/dosdevices/com7" 2>/dev/null || true
}
trap cleanup EXIT

deadline=$(( $(date +%s) + WINE_TIMEOUT ))
remaining() {
    local left=$(( deadline - $(date +%s) ))
    [ "$left" -gt 1 ] && echo "$left" || echo 1
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "making the wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    timeout -k 10 "$(remaining)" wineboot -i </dev/null
    # wineboot returns before the prefix's server has written everything.
    timeout -k 10 "$(remaining)" wineserver -w
fi

# A pseudo-terminal mapped as COM7, so that the port tests open a real serial
# device through wine. The other side sends back whatever it receives.
PTY_NAME_FILE="$BUILD/pty-name"
rm -f "$PTY_NAME_FILE"
PYTHON="$(command -v /usr/bin/python3 || command -v python3 || true)"
if [ -n "$PYTHON" ]; then
    "$PYTHON" - "$PTY_NAME_FILE" >/dev/null 2>&1 <<'EOF' &
import os, pty, select, signal, sys, tty

master, slave = pty.openpty()
tty.setraw(slave)
name = os.ttyname(slave)
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(name)
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
# The slave stays open here too, so the pty never hangs up between openers.
while True:
    select.select([master], [], [])
    try:
        data = os.read(master, 4096)
    except OSError:
        break
    if data:
        os.write(master, data)
EOF
    PTY_PID=$!
    for _ in $(seq 50); do
        [ -s "$PTY_NAME_FILE" ] && break
        sleep 0.1
    done
fi
unset ZEL_TEST_COM_PORT ZEL_TEST_COM_ECHO
if [ -s "$PTY_NAME_FILE" ]; then
    pty_name="$(cat "$PTY_NAME_FILE")"
    mkdir -p "$WINEPREFIX/dosdevices"
    ln -sfn "$pty_name" "$WINEPREFIX/dosdevices/com7"
    export ZEL_TEST_COM_PORT=COM7 ZEL_TEST_COM_ECHO=1
    log "COM7 -> $pty_name"
else
    log "no pseudo-terminal for COM7: the port tests will be skipped"
fi

# A persistent wineserver would keep ctest's pipes open and hang the run, so
# one is started here for the duration of the tests and stopped afterwards.
wineserver -k 2>/dev/null || true  # one left over from an interrupted run
wineserver -w 2>/dev/null || true
wineserver -f -p10 </dev/null >/dev/null 2>&1 &
WINESERVER_PID=$!

# Wine's system processes start with the first program of a session and
# inherit its output; started by a test, they would hold ctest's pipe for
# seconds after every test. An idle cmd.exe, reading a pipe that never
# speaks, keeps them running, started here with quiet output.
ANCHOR_FIFO="$BUILD/wine-anchor"
rm -f "$ANCHOR_FIFO"
mkfifo "$ANCHOR_FIFO"
exec 9<>"$ANCHOR_FIFO"
wine cmd.exe <"$ANCHOR_FIFO" >/dev/null 2>&1 &
ANCHOR_PID=$!
timeout -k 10 "$(remaining)" wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

log "running the tests under wine (limit $(remaining) s)"
# Wine now and then fails to start a process at all (a test "fails" in
# 0.01 s with no output): a failed test runs once more, which tells that
# from a real failure, and the JUnit report (counted by scripts/test.sh)
# holds the final outcome of each.
rm -f "$BUILD/junit.xml"
status=0
timeout -k 30 "$(remaining)" ctest --test-dir "$BUILD" --output-on-failure --repeat until-pass:2 \
    --output-junit "$BUILD/junit.xml" </dev/null || status=$?
[ "$status" -ne 124 ] || echo "the wine test step ran out of time" >&2
cleanup
exit "$status"
