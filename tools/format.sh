#!/usr/bin/env bash
# Lays out every C++ source the way .clang-format says.
#   tools/format.sh          reformat the tracked sources in place
#   tools/format.sh --check  change nothing; list the files that differ and exit 1
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror --style=file "${files[@]}"
else
    clang-format -i --style=file "${files[@]}"
fi
