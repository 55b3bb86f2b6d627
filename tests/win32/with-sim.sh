#!/usr/bin/env bash
# Runs a command with vantrel-sim serving COM<N> of the Wine prefix:
#   with-sim.sh SIM N [sim options...] -- COMMAND...
# The simulator's pseudo-terminal is linked as $WINEPREFIX/dosdevices/comN
# (the link goes when the simulator ends) and keeps a new tty's defaults,
# as a freshly plugged adapter has them. VANTREL_TEST_COM=N is exported.
set -euo pipefail
sim=$1 number=$2
shift 2
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"

link="$WINEPREFIX/dosdevices/com$number"
"$sim" --quiet --tty-defaults --link "$link" "${sim_args[@]}" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 200); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "with-sim.sh: the simulator did not make $link" >&2; exit 1; }
VANTREL_TEST_COM=$number "$@"
