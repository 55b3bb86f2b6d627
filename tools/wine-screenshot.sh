#!/usr/bin/env bash
# Takes a picture of the Win32 dialog halfway through a download into the
# simulator, under Wine on a virtual display, and saves it (PNG when
# ImageMagick's convert is there, else the BMP file as taken):
#   wine-screenshot.sh [OUTPUT.png] [WINDOWS_BUILD_DIR] [LINUX_BIN_DIR]
# The dialog's font, 宋体, is not on a Linux machine: the throw-away prefix
# alone maps it to WenQuanYi Zen Hei Mono (fonts-wqy-zenhei), whose Latin
# letters are of one width as 宋体's are (VANTREL_SCREENSHOT_FONT chooses
# another; the proportional WenQuanYi Zen Hei draws no hyphen at this size
# under Wine, which hides every "-- " of the log).
set -euo pipefail
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
output=$(realpath -m "${1:-vantrel-dialog.png}")
build=$(realpath "${2:-$root/build/win}")
host_bin=$(realpath "${3:-$root/build/plain/bin}")
program="$build/bin/win_dialog_tests.exe"
[ -x "$program" ] || { echo "wine-screenshot.sh: no $program: build the Windows tests first" >&2; exit 1; }
[ -x "$host_bin/vantrel-sim" ] || { echo "wine-screenshot.sh: no vantrel-sim in $host_bin" >&2; exit 1; }

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -f -p &
wineboot -i >/dev/null 2>&1
font=${VANTREL_SCREENSHOT_FONT:-WenQuanYi Zen Hei Mono}
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '宋体' /t REG_SZ /d "$font" /f >/dev/null
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'SimSun' /t REG_SZ /d "$font" /f >/dev/null

picture="$WINEPREFIX/drive_c/vantrel-dialog.bmp"
VANTREL_SCREENSHOT='C:\vantrel-dialog.bmp' "$root/tests/win32/with-sim.sh" "$host_bin/vantrel-sim" 11 --baud 57600 -- \
    wine "$program" --gtest_filter=WinDialogTest.DownloadShowsProgressDuringTheRunOnly
if command -v convert >/dev/null; then
    convert "$picture" "$output"
else
    output="${output%.*}.bmp"
    cp "$picture" "$output"
fi
echo "$output"
