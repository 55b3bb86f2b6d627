#!/usr/bin/env bash
# vantrel-cli.exe under Wine, end to end, against vantrel-sim:
#   cli_end_to_end.sh HOST_BIN CLI_EXE
# HOST_BIN holds the Linux build's vantrel-sim and vantrel-cli. Needs
# WINEPREFIX (a throw-away prefix) and srec_cat.
#  1. A download of an image holding every byte value, from a folder and file
#     with Chinese names, through COM21: exit 0, "-- Download successfully."
#     and the device memory equal to the file.
#  2. Fault cells (silence, refusal, the port vanishing): the log and exit
#     status of vantrel-cli.exe equal those of the Linux program on the same
#     fault.
#  3. AUTOCHECK with a dead COM number in the prefix: the same log and exit
#     status as on Linux with no port found.
#  4. Ctrl-C during a run: exit 8 and the stop line.
#  5. Two COM ports at once with a report named in Chinese: exit 0, a row per
#     port with the file's SHA-256 under a header that starts with a UTF-8
#     byte-order mark, both memories equal to the file.
#  6. --watch: a COM port the settings file pins, appearing after the start,
#     is written once; Ctrl-C ends the watch with exit 0.
#  7. monitor with its input piped: a typed line with Chinese text reaches the
#     device in code page 936 and its echo shows in UTF-8; the end of the
#     input ends the monitor with exit 0.
set -uo pipefail
host=$1 cli_exe=$2
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"
export WINEDEBUG=-all
com=21
work=$(mktemp -d)
sim_pid=
second_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    [ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null
    rm -rf "$work" "$WINEPREFIX/dosdevices/com$com" "$WINEPREFIX/dosdevices/com22" "$WINEPREFIX/dosdevices/com23" \
        "$WINEPREFIX/dosdevices/com24"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Every byte value, eight times over, at 0x100.
folder="$work/固件 目录"
mkdir -p "$folder"
for _ in 1 2 3 4 5 6 7 8; do
    for i in $(seq 0 255); do printf "\\x$(printf %02x "$i")"; done
done >"$work/image.bin"
size=$(stat -c %s "$work/image.bin")
srec_cat "$work/image.bin" -binary -offset 0x100 -o "$folder/测试.hex" -intel -address-length=2 >/dev/null
hex_win=$(winepath -w "$folder/测试.hex")
# No settings file of the developer's is read.
export VANTREL_INI
VANTREL_INI=$(winepath -w "$work/none.Ini")

# Starts the simulator on a link: start_sim LINK [options...]
start_sim() {
    local link=$1
    shift
    rm -f "$link"
    "$host/vantrel-sim" --quiet --tty-defaults --link "$link" "$@" &
    sim_pid=$!
    for _ in $(seq 200); do [ -e "$link" ] && break; sleep 0.05; done
}
stop_sim() {
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
}
# The log without what differs by platform: line ends and the file's path.
normalise() { tr -d '\r' | sed -e 's|^-- Downloading file .* \.\.\.$|-- Downloading file %F ...|'; }

# 1. The download.
start_sim "$WINEPREFIX/dosdevices/com$com" --baud 115200 --exit-after-leave --dump "$work/memory.bin" --dump-range "256:$size"
status=0
wine "$cli_exe" download "$hex_win" --port COM$com --baud 115200 --support-version '*.*.*' >"$work/download.log" 2>&1 ||
    status=$?
wait "$sim_pid"
sim_pid=
tr -d '\r' <"$work/download.log"
[ "$status" -eq 0 ] || fail "download: exit status $status"
tr -d '\r' <"$work/download.log" | grep -qx -- '-- Download successfully.' || fail "download: no success line"
cmp "$work/image.bin" "$work/memory.bin" || fail "download: the device memory differs from the file"

# 2. Fault cells: code:kind[@K].
cells=(03:silent 03:vanish 02:refuse e3:silent c1:silent c1:refuse c2:silent@11 c2:refuse@11 c2:vanish@11
       ca:silent@2 ca:vanish@2 ec:silent ec:refuse)
for cell in "${cells[@]}"; do
    start_sim "$work/tty" --baud 115200 --fault "$cell"
    "$host/vantrel-cli" download "$folder/测试.hex" --port "$work/tty" --baud 115200 --support-version '*.*.*' \
        2>/dev/null | normalise >"$work/linux.log"
    linux_status=${PIPESTATUS[0]}
    stop_sim
    start_sim "$WINEPREFIX/dosdevices/com$com" --baud 115200 --fault "$cell"
    wine "$cli_exe" download "$hex_win" --port COM$com --baud 115200 --support-version '*.*.*' \
        2>/dev/null | normalise >"$work/windows.log"
    windows_status=${PIPESTATUS[0]}
    stop_sim
    if [ "$linux_status" != "$windows_status" ] || ! cmp -s "$work/linux.log" "$work/windows.log"; then
        fail "fault $cell: Linux exit $linux_status, Windows exit $windows_status"
        diff "$work/linux.log" "$work/windows.log"
    else
        echo "fault $cell: exit $windows_status on both, logs equal ($(wc -l <"$work/windows.log") lines)"
    fi
done

# 3. AUTOCHECK over a dead COM number.
ln -sfn "$work/no-such-device" "$WINEPREFIX/dosdevices/com23"
mkdir -p "$work/sys/class/tty"
VANTREL_SYSFS="$work/sys" VANTREL_DEV="$work" "$host/vantrel-cli" download "$folder/测试.hex" --port AUTOCHECK \
    --baud 115200 --support-version '*.*.*' 2>/dev/null | normalise >"$work/linux.log"
linux_status=${PIPESTATUS[0]}
wine "$cli_exe" download "$hex_win" --port AUTOCHECK --baud 115200 --support-version '*.*.*' 2>/dev/null |
    normalise >"$work/windows.log"
windows_status=${PIPESTATUS[0]}
if [ "$linux_status" != "$windows_status" ] || [ "$windows_status" -ne 4 ] ||
    ! cmp -s "$work/linux.log" "$work/windows.log"; then
    fail "AUTOCHECK: Linux exit $linux_status, Windows exit $windows_status"
    diff "$work/linux.log" "$work/windows.log"
else
    echo "AUTOCHECK over a dead COM number: exit 4 on both, logs equal"
fi

# 4. Ctrl-C during a run (Wine turns SIGINT into the console's Ctrl-C): the
#    run stops before its next block, says so, and exits 8.
start_sim "$WINEPREFIX/dosdevices/com$com" --baud 9600
wine "$cli_exe" download "$hex_win" --port COM$com --baud 9600 --support-version '*.*.*' >"$work/stop.log" 2>&1 &
cli_pid=$!
for _ in $(seq 200); do grep -q -- '-- Downloading file' "$work/stop.log" 2>/dev/null && break; sleep 0.05; done
pkill -INT -f 'vantrel-cli.exe download'
wait $cli_pid
status=$?
stop_sim
if [ "$status" -ne 8 ] || ! grep -q '^## Download stopped before it finished' "$work/stop.log"; then
    fail "Ctrl-C: exit $status"
    cat "$work/stop.log"
else
    echo "Ctrl-C during a run: exit 8, \"$(grep '^## Download stopped' "$work/stop.log" | tr -d '\r')\""
fi

# 5. Two ports at once, with the traceability record.
start_sim "$WINEPREFIX/dosdevices/com22" --baud 115200 --exit-after-leave --dump "$work/memory22.bin" \
    --dump-range "256:$size"
second_pid=$sim_pid
start_sim "$WINEPREFIX/dosdevices/com$com" --baud 115200 --exit-after-leave --dump "$work/memory.bin" \
    --dump-range "256:$size"
report="$folder/报告.csv"
status=0
wine "$cli_exe" download "$hex_win" --port COM$com --port COM22 --baud 115200 --support-version '*.*.*' \
    --report "$(winepath -w "$report")" >"$work/ports.log" 2>&1 || status=$?
wait "$sim_pid" "$second_pid"
sim_pid= second_pid=
digest=$(sha256sum "$folder/测试.hex" | cut -d' ' -f1)
rows=$(tr -d '\r' <"$report" 2>/dev/null)
# The new report starts with a UTF-8 byte-order mark, for Excel, and the row
# appended after the first gets none.
marks=$(LC_ALL=C grep -c $'\xEF\xBB\xBF' "$report" 2>/dev/null || true)
if [ "$(head -c 3 "$report" | od -An -tx1 | tr -d ' ')" != efbbbf ] || [ "$marks" -ne 1 ]; then
    fail "the report does not start with one byte-order mark ($marks found)"
fi
if [ "$status" -ne 0 ] || [ "$(printf '%s\n' "$rows" | wc -l)" -ne 3 ] ||
    ! printf '%s\n' "$rows" | grep -q ",COM$com,,.*,$digest,success,$size," ||
    ! printf '%s\n' "$rows" | grep -q ",COM22,,.*,$digest,success,$size," ||
    ! cmp -s "$work/image.bin" "$work/memory.bin" || ! cmp -s "$work/image.bin" "$work/memory22.bin"; then
    fail "two ports with a report: exit $status"
    tr -d '\r' <"$work/ports.log"
    printf '%s\n' "$rows"
else
    echo "two ports at once: exit 0, both memories equal to the file, report rows:"
    printf '%s\n' "$rows"
fi

# 6. Flash on plug: COM24, pinned by the settings file, appears after the start.
printf '[Ports]\r\nCOM24=\\\\.\\COM24\r\n' >"$work/pins.Ini"
rm -f "$WINEPREFIX/dosdevices/com24"
wine "$cli_exe" download "$hex_win" --watch --ini "$(winepath -w "$work/pins.Ini")" --baud 115200 \
    --support-version '*.*.*' >"$work/watch.log" 2>"$work/watch.err" &
cli_pid=$!
for _ in $(seq 600); do grep -q 'Ctrl-C ends the watch' "$work/watch.err" 2>/dev/null && break; sleep 0.05; done
start_sim "$WINEPREFIX/dosdevices/com24" --baud 115200 --dump "$work/memory24.bin" --dump-range "256:$size"
for _ in $(seq 600); do grep -q '(1 done: 1 succeeded' "$work/watch.log" 2>/dev/null && break; sleep 0.05; done
# Still plugged in through the next looks: not written again.
sleep 2
pkill -INT -f 'vantrel-cli.exe download'
wait $cli_pid
status=$?
stop_sim
downloads=$(grep -c -- '-- Downloading file' "$work/watch.log")
if [ "$status" -ne 0 ] || [ "$downloads" -ne 1 ] || ! cmp -s "$work/image.bin" "$work/memory24.bin"; then
    fail "watch: exit $status, $downloads downloads"
    tr -d '\r' <"$work/watch.log"
    tr -d '\r' <"$work/watch.err"
else
    echo "watch: COM24 written once when it appeared, exit 0: $(grep '(1 done' "$work/watch.log" | tr -d '\r')"
fi

# 7. The monitor: what is piped in goes out a line at a time, the device's
#    echo comes back as text.
start_sim "$WINEPREFIX/dosdevices/com$com" --baud 115200 --echo
printf 'hello 中文\n' | timeout 60 wine "$cli_exe" monitor --port "COM$com" --baud 115200 \
    >"$work/monitor.log" 2>"$work/monitor.err"
status=$?
stop_sim
if [ "$status" -ne 0 ] || ! tr -d '\r' <"$work/monitor.log" | grep -q 'hello 中文'; then
    fail "monitor: exit $status"
    tr -d '\r' <"$work/monitor.log"
    tr -d '\r' <"$work/monitor.err"
else
    echo "monitor: a piped line came back through the device's echo, exit 0"
fi

[ "$failures" -eq 0 ] && echo "all end-to-end checks passed"
exit $((failures > 0))
