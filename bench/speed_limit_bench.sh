#!/usr/bin/env bash
# How closely the download cap of gamedata.xml (<download maxkibps="N"/>) is
# held, on 127.0.0.1 (by hand; CI does not run it). For each cap, update-host
# fetches a package sized for about --seconds of transfer at that cap, from
# update-server in the fast mode and, where the base protocol can reach the
# cap at all (its 5 ms pause per reply frame of at most 10237 bytes tops out
# near 2 MB/s), from update-server pinned to the base protocol. The rate is
# the listed files' bytes over the time from the first 11111/2 to 11111/4/0,
# both stamped as the transcript lines arrive; a run without the cap gives
# the loopback rate beside it.
#
# usage: bench/speed_limit_bench.sh [--build DIR] [--limits 1024,10240]
#                                   [--seconds 12] [--keep] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
limits=1024,10240
seconds=12
keep=0
rebuild=1
usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --limits) limits=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) rebuild=0; shift ;;
    *) usage ;;
  esac
done

if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target autoupdate update-host update-server make-package >/dev/null
fi
source bench/bench_lib.sh
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
library=$(find_tool libautoupdate.so)
make_work speed-limit

mkdir -p "$work/host" "$work/system"
cp "$(find_tool update-host)" "$work/host/"
export AUTOUPDATE_SYSTEM_DIR=$work/system

start_server() {  # name [server options...]; the port goes to server_port
  local name=$1
  shift
  "$update_server" --root "$work/root" --port 0 --port-file "$work/$name.port" --quiet "$@" \
    >/dev/null 2>>"$work/update-server.log" &
  pids+=("$!")
  server_port=$(wait_for_port_file "$work/$name.port" "$!")
}

# One run into a fresh game folder; prints "bytes milliseconds" of its transfers.
run_capped() {  # package port limit-KiB (0: none)
  local game=$work/game transcript=$work/transcript.fifo
  rm -rf "$game" "$transcript"
  mkdir -p "$game"
  write_gamedata "$work/host" "$2"
  if [ "$3" -gt 0 ]; then
    sed -i "s|</gamedata>|  <download maxkibps=\"$3\"/>\n</gamedata>|" "$work/host/gamedata.xml"
  fi
  mkfifo "$transcript"
  "$work/host/update-host" --library "$library" --game-dir "$game" --package "$1" --server 127.0.0.1 \
    --timeout 600 --transcript "$transcript" >/dev/null 2>"$work/host.err" &
  local host=$!
  python3 - "$transcript" <<'PY'
import sys, time
first = end = None
total = 0
rows = False
with open(sys.argv[1], 'rb') as transcript:
    for line in transcript:
        now = time.monotonic()
        if line.startswith(b'11115 '):
            rows = True
            continue
        if rows and line.startswith(b'  '):
            total += int(line.rsplit(b' ', 1)[1])
            continue
        rows = False
        if line.startswith(b'11111 2 ') and first is None:
            first = now
        if line.strip() == b'11111 4 0':
            end = now
if first is None or end is None:
    sys.exit('the run did not get through its transfers')
print(total, int((end - first) * 1000))
PY
  wait "$host"
}

report() {  # label package port limit
  local bytes ms rate
  read -r bytes ms < <(run_capped "$2" "$3" "$4")
  rate=$(awk -v b="$bytes" -v m="$ms" 'BEGIN { printf "%.0f", b / 1024 / (m / 1000) }')
  if [ "$4" -gt 0 ]; then
    say "$1, cap $4 KiB/s: $bytes bytes in $ms ms = $rate KiB/s, $(ratio "$rate" "$4") of the cap"
  else
    say "$1, no cap: $bytes bytes in $ms ms = $rate KiB/s"
  fi
}

say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
IFS=, read -r -a caps <<< "$limits"
for cap in "${caps[@]}"; do
  mb=$(( cap * seconds / 1024 + 1 ))
  echo "==> cap $cap KiB/s: a package of $mb MB in 20 files"
  python3 bench/bench_tree.py make "$work/tree-$cap" "$mb" 20
  "$make_package" --name "cap$cap" --game "$work/tree-$cap" --out "$work/root" >/dev/null
done
start_server fast
fast_port=$server_port
start_server base --chunk 10237
base_port=$server_port

for cap in "${caps[@]}"; do
  report "fast mode" "cap$cap" "$fast_port" "$cap"
  if [ "$cap" -le 1536 ]; then
    report "base protocol" "cap$cap" "$base_port" "$cap"
  fi
done
report "fast mode" "cap${caps[0]}" "$fast_port" 0

echo
echo "==> results"
cat "$work/results.txt"
