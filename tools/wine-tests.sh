#!/usr/bin/env bash
# Builds the Windows programs with mingw-w64 and runs their tests under Wine:
#   wine-tests.sh [WINDOWS_BUILD_DIR] [LINUX_BIN_DIR]
# LINUX_BIN_DIR holds the Linux build's vantrel-sim (the device the Windows
# programs talk to through a COM port) and vantrel-cli (to compare logs with).
# Each run makes a throw-away Wine prefix and removes it at the end.
set -euo pipefail
# The dialog's tests make windows, and the prefix's desktop, started by
# wineboot, keeps the display it was started with: the whole run gets one.
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build/win}
host_bin=$(realpath "${2:-build/plain/bin}")
[ -x "$host_bin/vantrel-sim" ] || { echo "wine-tests.sh: no vantrel-sim in $host_bin: build Linux first" >&2; exit 1; }

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTREL_BUILD_BENCH=OFF -DVANTREL_HOST_BIN="$host_bin" >/dev/null
cmake --build "$build" -j "$(nproc)"

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
# One server for the whole run, in the foreground of this session: a server
# that daemonises becomes a session leader, takes the first pseudo-terminal
# it opens as its controlling terminal, and is hung up (dumping its objects)
# whenever a simulator closes its end.
wineserver -f -p &
wineboot -i >/dev/null 2>&1
wine --version
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
