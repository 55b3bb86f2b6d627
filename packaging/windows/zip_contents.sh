#!/usr/bin/env bash
# Checks that the portable zip holds each named file in its folder Vantrel/:
#   zip_contents.sh CMAKE ZIP NAME...
set -uo pipefail
cmake=$1 zip=$2
shift 2
names=$("$cmake" -E tar tf "$zip") || exit 1
status=0
for name in "$@"; do
    if ! printf '%s\n' "$names" | grep -qx "Vantrel/$name"; then
        echo "no Vantrel/$name in $zip"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "$zip holds: $*"
exit "$status"
