#!/usr/bin/env bash
# The demo: the simulated device on a pseudo-terminal at 115200 bit/s, and a
# download of the example firmware into it through vantrel-cli.
set -euo pipefail
build=${1:-build/plain}
out="$build/demo"
mkdir -p "$out"
"$build/bin/vantrel-example-firmware" "$out/firmware.hex"
"$build/bin/vantrel-cli" info "$out/firmware.hex"

link="$out/ttyVANTREL"
rm -f "$link"
"$build/bin/vantrel-sim" --link "$link" --baud 115200 --exit-after-leave --dump "$out/device-memory.bin" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

status=0
"$build/bin/vantrel-cli" download "$out/firmware.hex" --port "$link" --baud 115200 --support-version '*.*.*' || status=$?
wait $sim 2>/dev/null || true
trap - EXIT
echo "vantrel-cli exit status: $status (device memory written to $out/device-memory.bin)"
exit $status
