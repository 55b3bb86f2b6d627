#!/usr/bin/env bash
# The installer under Wine: a silent install for this user into a folder of
# its own, vantrel-cli.exe --help from there, the uninstall, and nothing left
# behind but the settings file the user made.
#   installer_round_trip.sh SETUP_EXE
set -uo pipefail
setup=$1
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"
export WINEDEBUG=-all
# /D= takes the rest of the command line unquoted: a folder without blanks.
folder='C:\vantrel-round-trip'
unix_folder="$WINEPREFIX/drive_c/vantrel-round-trip"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel'
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
trap 'rm -rf "$unix_folder"' EXIT

wine "$setup" /S /CurrentUser "/D=$folder" || fail "the installer exited $?"
for file in vantrel-cli.exe uninstall.exe; do
    [ -f "$unix_folder/$file" ] || fail "$file was not installed"
done
help=$(wine "$folder\\vantrel-cli.exe" --help | tr -d '\r')
grep -q '^Usage: vantrel-cli' <<<"$help" || fail "vantrel-cli.exe --help from the installed place: $help"
wine reg query "$key" >/dev/null 2>&1 || fail "no uninstall entry under $key"
# A settings file the user made is theirs: it stays.
echo '[update]' >"$unix_folder/vantrel.Ini"

# The uninstaller copies itself away and runs from there: wait until its
# own file is gone (the last it removes), at most a minute.
wine "$unix_folder/uninstall.exe" /S /CurrentUser || fail "the uninstaller exited $?"
for _ in $(seq 600); do [ -e "$unix_folder/uninstall.exe" ] || break; sleep 0.1; done
sleep 0.5
left=$(cd "$unix_folder" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./vantrel.Ini " ] || fail "left behind in the folder: '$left' (only ./vantrel.Ini may stay)"
wine reg query "$key" >/dev/null 2>&1 && fail "the uninstall entry is still there"
find "$WINEPREFIX/drive_c/users" -path '*Start Menu*' -iname '*vantrel*' | grep -q . &&
    fail "a Start-menu entry is left"

[ "$failures" -eq 0 ] && echo "installer round trip: installed, ran vantrel-cli.exe --help, uninstalled; only the settings file stayed"
exit $((failures > 0))
