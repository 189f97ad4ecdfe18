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
# one virtual X server serves the whole run: the test run's (wine_prefix.sh)
# when there is one.
if [ -f "${WINEPREFIX:-}.display" ]; then
    DISPLAY=":$(cut -d' ' -f1 "$WINEPREFIX.display")"
    export DISPLAY
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${XML_PROBE_UNDER_XVFB:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    XML_PROBE_UNDER_XVFB=1 exec xvfb-run -a "$0" "$@"
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/autoupdate-wine-$(id -u)}"

work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT

# MSXML's texts are converted with the system code page, which Wine takes from
# the Unix locale: a Chinese one (936) for the comparison with the native
# reader, which always hands out GBK, and a French one (1252) for a launcher
# in a folder whose name has no GBK form. The locales are built privately.
if ! command -v localedef >/dev/null 2>&1; then
    echo "localedef is missing (Debian package locales)" >&2
    exit 2
fi
mkdir -p "$work/locales"
for locale in zh_CN fr_FR; do
    if ! localedef -i "$locale" -f UTF-8 "$work/locales/$locale.UTF-8" 2>/dev/null; then
        echo "cannot build the $locale.UTF-8 locale" >&2
        exit 2
    fi
done
export LOCPATH="$work/locales"
unset LC_ALL LC_CTYPE

status=0
compared=0
for doc in "$docs"/*.xml; do
    [ -e "$doc" ] || continue
    name=$(basename "$doc")
    full=$(cd "$(dirname "$doc")" && pwd)/$name
    # Wine's default Z: drive is the Unix root.
    windowsPath="Z:$(printf '%s' "$full" | tr '/' '\\')"

    "$native" "$full" > "$work/native.txt" 2>/dev/null
    LANG=zh_CN.UTF-8 wine "$windows" "$windowsPath" 2>/dev/null | tr -d '\r' > "$work/windows.txt"

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

# A Western launcher: its folder and a value hold "é" (E9 in code page 1252,
# whose following "\" a 936 reading would take as a second byte).
western="$work/Jeux/café"
mkdir -p "$western"
printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' \
    '<gamedata><servers><server serverid="1" autoupdate="1" ip="127.0.0.1"/></servers>' \
    '<FuncConfig><Func intername="autoupdate" expandprop="http://127.0.0.1/café.zip"/></FuncConfig></gamedata>' \
    > "$western/gamedata.xml"
westernPath="Z:$(printf '%s' "$western/gamedata.xml" | tr '/' '\\')"
LANG=fr_FR.UTF-8 wine "$windows" "$westernPath" 2>/dev/null | tr -d '\r' > "$work/western.txt"
# "http://127.0.0.1/café.zip" in code page 1252.
cafe=687474703A2F2F3132372E302E302E312F636166E92E7A6970
if grep -qx 'Load 1' "$work/western.txt" &&
   grep -qx "Func GetAttribute expandprop/256 1 $cafe" "$work/western.txt"; then
    echo "same western folder (code page 1252)"
else
    echo "FAIL western folder: the Windows probe under code page 1252 did not read $westernPath"
    sed -n '1,12p' "$work/western.txt" | sed 's/^/    /'
    status=1
fi
exit $status
