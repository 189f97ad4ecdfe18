#!/usr/bin/env bash
# A run that loses its connection again and again, against the same run that
# keeps it (by hand; CI does not run it). Two update-servers serve one root;
# gamedata.xml lists them in turn on every row the client reads (19), and in the
# dropping case both close each connection after --drop-after bytes of file
# payload, so the client reconnects to the other one each time. Prints the
# whole-process times of update-host (GNU time), the reconnects each run made
# (and how many went on in the fast mode) and the ratio. A run tries each row once, so it has at most 19 connections, and a
# drop loses the replies in flight: 200 MB needs drops at least 12 MB apart.
#
# usage: bench/reconnect.sh [--build DIR] [--size-mb 200] [--files 20]
#                           [--drop-mb 10] [--runs 3] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
size_mb=200
files=20
drop_mb=10
runs=3
keep=0
usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --drop-mb) drop_mb=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) usage ;;
  esac
done
find_tool() { find "$build" -name "$1" -type f -not -path '*/CMakeFiles/*' | head -n 1; }
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
update_host=$(find_tool update-host)
library=$(find_tool libautoupdate.so)

work=$(mktemp -d /tmp/autoupdate-reconnect.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ $keep -eq 0 ]; then rm -rf "$work"; else echo "kept $work" >&2; fi
}
trap cleanup EXIT

python3 bench/bench_tree.py make "$work/tree" "$size_mb" "$files"
"$make_package" --name game --game "$work/tree" --out "$work/root" >/dev/null
mkdir -p "$work/host" "$work/system"
cp "$update_host" "$work/host/"
export AUTOUPDATE_SYSTEM_DIR=$work/system

start_servers() {  # extra arguments for both; sets ports
  ports=()
  local i
  for i in 1 2; do
    rm -f "$work/port$i"
    "$update_server" --root "$work/root" --port 0 --port-file "$work/port$i" --quiet "$@" 2>>"$work/server$i.log" &
    pids+=("$!")
    for _ in $(seq 200); do [ -s "$work/port$i" ] && break; sleep 0.05; done
    ports+=("$(cat "$work/port$i")")
  done
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo '<gamedata><servers>'
    for i in $(seq 0 18); do
      echo "<server serverid=\"$i\" name=\"s$i\" ip=\"127.0.0.1\" autoupdate=\"1\" autoupdateport=\"${ports[$((i % 2))]}\"/>"
    done
    echo '</servers></gamedata>'
  } > "$work/host/gamedata.xml"
}
stop_servers() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  pids=()
}

# One run into a fresh game directory; sets run_seconds and run_reconnects.
run_host() {  # label
  local game=$work/game-$1
  rm -rf "$game"
  mkdir -p "$game"
  /usr/bin/time -f '%e' -o "$work/time-$1" "$work/host/update-host" --library "$library" --game-dir "$game" \
    --package game --server 127.0.0.1 --timeout 600 --transcript "$work/transcript-$1" >/dev/null 2>&1 || true
  if ! grep -q '^11111 5 1$' "$work/transcript-$1"; then
    echo "run $1 did not complete; see $work/transcript-$1" >&2
    keep=1
    exit 1
  fi
  run_seconds=$(tail -n 1 "$work/time-$1")
  run_reconnects=$(grep -c '^11111 30 1$' "$work/transcript-$1" || true)
  run_resumed=$(iconv -f GBK -t UTF-8 "$game/autoupdatelog.txt" | grep -c '重新连接后继续快速传输' || true)
}

declare -A seconds reconnects
for mode in steady dropping; do
  if [ $mode = steady ]; then start_servers; else start_servers --drop-after $((drop_mb * 1024 * 1024)); fi
  for i in $(seq "$runs"); do
    run_host "$mode-$i"
    seconds[$mode]+="$run_seconds "
    reconnects[$mode]+="$run_reconnects "
    echo "$mode run $i: ${run_seconds} s, $run_reconnects reconnects, $run_resumed in the fast mode"
  done
  stop_servers
done

median() { printf '%s\n' $1 | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
steady=$(median "${seconds[steady]}")
dropping=$(median "${seconds[dropping]}")
reconnected=$(median "${reconnects[dropping]}")
awk -v s="$steady" -v d="$dropping" -v r="$reconnected" -v mb="$size_mb" -v drop="$drop_mb" 'BEGIN {
  printf "%d MB, drop every %d MB: median %.2f s with drops (%d reconnects), %.2f s without: %.2fx\n", mb, drop, d, r, s, d / s
}'
