#!/usr/bin/env bash
# vantrel-cli's help as help2man reads it: the program's own --help, with each
# subcommand's usage as an "or:" line and its arguments and options after the
# program's, and the exit statuses of the footer as a section of their own.
#   VANTREL_CLI=path/to/vantrel-cli cli-help.sh --help|--version
set -euo pipefail
cli=${VANTREL_CLI:?give VANTREL_CLI, the program}
[ "${1:-}" = --help ] || exec "$cli" "$@"

top=$("$cli" --help)
# The lines under a heading of a help text, up to the next blank line.
block() { awk -v heading="$2" '$0 == heading { on = 1; next } on && /^$/ { exit } on' <<<"$1"; }
footer=$(awk '/^Exit status/ { on = 1 } on' <<<"$top")
if [ -z "$footer" ]; then
    echo "cli-help.sh: no exit statuses at the end of $cli --help" >&2
    exit 1
fi

usages=""
details=""
for sub in $(block "$top" 'Subcommands:' | awk '{ print $1 }'); do
    text=$("$cli" "$sub" --help)
    usages+="  or:  $(sed -n 's/^Usage: //p' <<<"$text")"$'\n'
    entries=$({ block "$text" 'Positionals:'; block "$text" 'Options:'; } | grep -v -- '^  -h,--help ' || true)
    [ -z "$entries" ] || details+=$'\n'"Arguments and options of $sub:"$'\n'"$entries"$'\n'
done

while IFS= read -r line; do
    [[ $line == "Exit status"* ]] && break
    printf '%s\n' "$line"
    [[ $line != Usage:* ]] || printf '%s' "$usages"
done <<<"$top"
printf '%s\n*Exit status*\n%s\n' "$details" "$footer"
