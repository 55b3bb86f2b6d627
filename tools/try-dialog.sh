#!/usr/bin/env bash
# A first look at the dialog without hardware: the simulated device on a
# pseudo-terminal, pinned to COM1 in a settings file of its own, an example
# firmware beside it, and the dialog on both. Closing the dialog stops the
# simulator and removes the scratch folder.
#
#   tools/try-dialog.sh [BUILD_DIR]     (default build/plain; what is missing is built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/plain}")
programs=(vantrel vantrel-sim vantrel-example-firmware)
for program in "${programs[@]}"; do
    if [ ! -x "$build/bin/$program" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build" -j "$(nproc)" --target "${programs[@]}"
        break
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-try.XXXXXX")
link="$work/ttyVANTREL"
"$build/bin/vantrel-sim" --link "$link" --baud 115200 --fw-version 1.2.7 --quiet >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
if [ ! -e "$link" ]; then
    cat "$work/sim.log" >&2
    echo "try-dialog: the simulator did not start" >&2
    exit 1
fi
"$build/bin/vantrel-example-firmware" "$work/firmware.hex"

# COM1 stands for the simulator's link; firmware 1.2.x may be upgraded.
printf '[Port:]\r\nUsedTimes=1\r\nStopBit=0\r\nPortNum=0\r\nDataBit=3\r\nCsBit=2\r\nBaudRate=7\r\nSendType=1\r\n'\
'FrameLen=1024\r\nTimeInterval=1000\r\nRepeatTimes=1\r\n\r\n[update]\r\nsupportversion=1.2.*\r\n\r\n'\
'[Ports]\r\nCOM1=%s\r\n' "$link" >"$work/vantrel.Ini"
echo "COM1 is the simulated device ($link); the example firmware is $work/firmware.hex"
# Started in the scratch folder, the file button opens there.
cd "$work"
VANTREL_INI="$work/vantrel.Ini" "$build/bin/vantrel"
