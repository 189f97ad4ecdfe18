#!/bin/sh
# Runs platform_files_check.exe under Wine in a fresh folder.
#   platform_files_check.sh CHECK_EXE
set -u
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 CHECK_EXE" >&2
    exit 2
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
cp "$1" "$work/check.exe"
mkdir "$work/dir"
xvfb-run -a wine "$work/check.exe" "Z:$(printf '%s' "$work/dir" | tr '/' '\\')" > "$work/out.txt" 2>/dev/null
status=$?
tr -d '\r' < "$work/out.txt"
exit $status
