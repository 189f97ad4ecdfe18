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

# The test run's X server (wine_prefix.sh), else one of its own.
x_server="xvfb-run -a"
if [ -f "${WINEPREFIX:-}.display" ]; then
    DISPLAY=":$(cut -d' ' -f1 "$WINEPREFIX.display")"
    export DISPLAY
    x_server=""
fi

# Wine takes the system code page from the Unix locale: once Chinese (936),
# once French (1252). The locales are built privately.
mkdir -p "$work/locales"
for locale in zh_CN fr_FR; do
    if ! localedef -i "$locale" -f UTF-8 "$work/locales/$locale.UTF-8" 2>/dev/null; then
        echo "cannot build the $locale.UTF-8 locale (Debian package locales)" >&2
        exit 2
    fi
done
export LOCPATH="$work/locales"
unset LC_ALL LC_CTYPE

status=0
for locale in zh_CN fr_FR; do
    mkdir "$work/$locale"
    echo "== $locale.UTF-8"
    LANG=$locale.UTF-8 $x_server wine "$work/check.exe" "Z:$(printf '%s' "$work/$locale" | tr '/' '\\')" \
        > "$work/out.txt" 2>/dev/null || status=1
    tr -d '\r' < "$work/out.txt"
done
exit $status
