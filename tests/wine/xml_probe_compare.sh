#!/bin/sh
# Runs xml_probe from the native build and xml_probe.exe (MSXML, under Wine)
# on every *.xml file of a folder and fails on the first difference.
#   xml_probe_compare.sh NATIVE_PROBE WINDOWS_BUILD_DIR DOCS_DIR
set -u

if [ $# -ne 3 ]; then
    echo "usage: $0 NATIVE_PROBE WINDOWS_BUILD_DIR DOCS_DIR" >&2
    exit 2
fi
native=$1
windows=$2/xml_probe.exe
docs=$3

if [ ! -x "$native" ] || [ ! -f "$windows" ] || [ ! -d "$docs" ]; then
    echo "missing probe or documents" >&2
    exit 2
fi

# Wine wants a display even for console programs once a prefix is set up;
# one virtual X server serves the whole run.
if [ -z "${DISPLAY:-}" ] && [ -z "${XML_PROBE_UNDER_XVFB:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    XML_PROBE_UNDER_XVFB=1 exec xvfb-run -a "$0" "$@"
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/autoupdate-wine-$(id -u)}"

work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT

status=0
compared=0
for doc in "$docs"/*.xml; do
    [ -e "$doc" ] || continue
    name=$(basename "$doc")
    full=$(cd "$(dirname "$doc")" && pwd)/$name
    # Wine's default Z: drive is the Unix root.
    windowsPath="Z:$(printf '%s' "$full" | tr '/' '\\')"

    "$native" "$full" > "$work/native.txt" 2>/dev/null
    wine "$windows" "$windowsPath" 2>/dev/null | tr -d '\r' > "$work/windows.txt"

    if [ ! -s "$work/windows.txt" ]; then
        echo "FAIL $name: no output from the Windows probe"
        status=1
    elif diff -u "$work/native.txt" "$work/windows.txt" > "$work/diff.txt"; then
        echo "same $name ($(wc -l < "$work/native.txt") lines)"
    else
        echo "FAIL $name"
        sed 's/^/    /' "$work/diff.txt"
        status=1
    fi
    compared=$((compared + 1))
done

if [ "$compared" -eq 0 ]; then
    echo "no documents in $docs" >&2
    exit 2
fi
exit $status
