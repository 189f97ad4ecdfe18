#!/usr/bin/env bash
# wine_prefix.sh setup|cleanup PREFIX: makes a fresh Wine prefix for the Wine tests
# and starts the X server they share (its number and process in PREFIX.display),
# or ends the wineserver that the tests left running in it and that X server.
#
# One X server for the whole run: the prefix's desktop process (explorer.exe) draws
# on the display of the Wine program that started it and ends with that display, and
# with it go the windows and message boxes of every other Wine program still running.
set -euo pipefail
action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
display_file=$prefix.display

stop_display() {
  if [ -f "$display_file" ]; then
    read -r _ pid < "$display_file" || true
    kill "$pid" 2>/dev/null || true
    rm -f "$display_file"
  fi
}

# Started in a session of its own with no stdio of ours: ctest waits for every
# holder of a test's output.
start_display() {
  for number in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ] && continue
    setsid Xvfb ":$number" -nolisten tcp </dev/null >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$number" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$number" ]; then
      echo "$number $pid" > "$display_file"
      return 0
    fi
  done
  echo "no X server could be started" >&2
  return 1
}

case $action in
  setup)
    if [ -d "$prefix" ]; then
      timeout 30 wineserver -k 2>/dev/null || true
      rm -rf "$prefix"
    fi
    stop_display
    start_display
    read -r number _ < "$display_file"
    # Without an X display Wine's first start cannot finish its setup dialogs.
    DISPLAY=:$number timeout 240 wineboot -i
    timeout 60 wineserver -w
    test -d "$prefix/drive_c/windows/system32"
    ;;
  cleanup)
    timeout 30 wineserver -k 2>/dev/null || true
    stop_display
    ;;
  *)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
