#!/bin/sh
# Checks the systemd unit against the update-server that was built: its command
# line must be one that update-server accepts, and systemd must find no fault
# in the unit and rate its sandbox "OK" or better, at most 2.0 exposure (when
# systemd-analyze is there; the rating needs systemd 250 or later).
#   check_unit.sh UNIT_FILE UPDATE_SERVER
set -u
if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -x "$2" ]; then
    echo "usage: $0 UNIT_FILE UPDATE_SERVER" >&2
    exit 2
fi
unit=$1
server=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT

# ExecStart with its continuation lines joined.
command=$(sed -n '/^ExecStart=/,/[^\\]$/p' "$unit" | sed 's/\\$//' | tr '\n' ' ' | sed 's/^ExecStart=//')
[ -n "$command" ] || { echo "FAIL no ExecStart in $unit"; exit 1; }
set -- $command
shift
# Options before --help are parsed and checked; --help then ends the program.
if ! "$server" "$@" --help > "$work/help.txt" 2> "$work/error.txt"; then
    echo "FAIL update-server refuses the unit's options: $*"
    cat "$work/error.txt"
    exit 1
fi
echo "ok update-server accepts: $*"

if command -v systemd-analyze >/dev/null 2>&1; then
    sed "s|^ExecStart=[^ ]*|ExecStart=$server|" "$unit" > "$work/update-server.service"
    if ! systemd-analyze verify "$work/update-server.service" > "$work/verify.txt" 2>&1; then
        echo "FAIL systemd-analyze verify"
        cat "$work/verify.txt"
        exit 1
    fi
    echo "ok systemd-analyze verify"
    # 2.0 leaves room for a newer systemd that rates more settings, and
    # catches a sandbox setting dropped from the unit.
    if systemd-analyze security --help 2>/dev/null | grep -q -- '--offline'; then
        systemd-analyze security --offline=true --threshold=20 "$work/update-server.service" \
            > "$work/security.txt" 2>&1
        status=$?
        score=$(grep 'Overall exposure level' "$work/security.txt" | sed 's/.*: //')
        if [ $status -ne 0 ] || [ -z "$score" ]; then
            echo "FAIL systemd-analyze security: ${score:-no rating} (at most 2.0 wanted)"
            grep '✗' "$work/security.txt"
            exit 1
        fi
        echo "ok systemd-analyze security: $score"
    else
        echo "systemd-analyze security --offline not available: sandbox not rated"
    fi
else
    echo "systemd-analyze not installed: unit syntax not checked"
fi
