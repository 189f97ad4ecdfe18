#!/usr/bin/env bash
# wine_prefix.sh setup|cleanup PREFIX: makes a fresh Wine prefix for the Wine tests,
# or ends the wineserver that the tests left running in it.
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case $action in
  setup)
    if [ -d "$prefix" ]; then
      timeout 30 wineserver -k 2>/dev/null || true
      rm -rf "$prefix"
    fi
    # Without an X display Wine's first start cannot finish its setup dialogs.
    timeout 240 xvfb-run -a wineboot -i
    timeout 60 wineserver -w
    test -d "$prefix/drive_c/windows/system32"
    ;;
  cleanup)
    timeout 30 wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
