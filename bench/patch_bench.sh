#!/usr/bin/env bash
# What a changed file costs on the wire with block sums and deflated replies,
# side by side in one run, all on 127.0.0.1 (by hand; CI does not run it).
# One package of one SIZE MB file, published as four builds in turn, and a
# package of text files:
#   middle   v0 -> v1: 1 MB replaced in the middle
#   scatter  v1 -> v2: 1% of the 4 KiB blocks replaced at random
#   insert   v2 -> v3: 1 MB inserted at the start
#   behind   v0 -> v3: a player three builds behind
#   text     TEXT MB of text and configuration files, new to the player
#   install  the first install of v0
# Per case: the bytes our client received (update-server's bytes_total, every
# frame of the run, tables and package file included) against what rsync
# sends for the same update (--stats "Total bytes sent", the old file as its
# basis, --no-whole-file: the sender's bytes are what a player downloads; the
# block checksums its receiver sends are the counterpart of our requests and
# are shown apart), and for text against gzip -6 of the files; and the wall
# time of update-host against the same run from a server with --no-patches
# --no-deflate (the fast mode moving whole files).
#
# Times are medians of --runs runs of each side, taken in turn.
#
# usage: bench/patch_bench.sh [--build DIR] [--size-mb 200] [--text-mb 50]
#                             [--text-files 100] [--runs 3] [--keep] [--no-build]
# Needs the native build (built here unless --no-build) and
# bench/install-bench-deps.sh (rsync, gzip, curl, python3).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
size_mb=200
text_mb=50
text_files=100
runs=3
keep=0
rebuild=1
run_limit=600

usage() { sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --text-mb) text_mb=$2; shift 2 ;;
    --text-files) text_files=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) rebuild=0; shift ;;
    *) usage ;;
  esac
done

for tool in rsync gzip curl python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run bench/install-bench-deps.sh as root" >&2; exit 1; }
done
if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target autoupdate update-host update-server make-package >/dev/null
fi
source bench/bench_lib.sh
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
library=$(find_tool libautoupdate.so)
make_work patch-bench
root=$work/root
mkdir -p "$work/host" "$work/system" "$work/tree"
cp "$(find_tool update-host)" "$work/host/"
export AUTOUPDATE_SYSTEM_DIR=$work/system

# Two servers on one ROOT: ours as it ships, and the fast mode moving whole
# files. Each has a metrics port for its byte counters.
start_server() {  # label options...
  local label=$1
  shift
  rm -f "$work/$label.port" "$work/$label.metrics"
  "$update_server" --root "$root" --port 0 --port-file "$work/$label.port" --metrics-port 0 \
    --metrics-port-file "$work/$label.metrics" --quiet "$@" 2>>"$work/$label.log" &
  pids+=("$!")
  wait_for_port_file "$work/$label.port" "$!" >/dev/null
  wait_for_port_file "$work/$label.metrics" "$!" >/dev/null
}
metric() {  # label name
  curl -sf "http://127.0.0.1:$(cat "$work/$1.metrics")/metrics" | awk -v n="autoupdate_server_$2" '$1 == n { print $2 }'
}

publish() {  # package tree
  "$make_package" --name "$1" --game "$2" --out "$root" --keep 5 >>"$work/make-package.txt"
  sleep 1.2  # servers look for a new packages.txt once a second
}

# One update-host run of package in game against server label; sets run_ms,
# run_bytes (server to client), run_requests and run_saved (spared by deflate).
run_host() {  # label package game
  local before requests saved start status=0 transcript=$work/transcript.txt
  write_gamedata "$work/host" "$(cat "$work/$1.port")"
  before=$(metric "$1" bytes_total)
  requests=$(metric "$1" requests_total)
  saved=$(metric "$1" deflate_saved_bytes_total)
  start=$(now_ms)
  "$work/host/update-host" --library "$library" --game-dir "$3" --package "$2" --server 127.0.0.1 \
    --timeout "$run_limit" --transcript "$transcript" >"$work/host.out" 2>"$work/host.err" || status=$?
  run_ms=$(( $(now_ms) - start ))
  if [ $status -ne 0 ] || ! grep -q '^11111 5 1$' "$transcript"; then
    echo "update-host ($1, $2) did not complete (exit $status); see $work" >&2
    keep=1
    exit 1
  fi
  sleep 0.2  # the server counts a reply once it is out
  run_bytes=$(( $(metric "$1" bytes_total) - before ))
  run_requests=$(( $(metric "$1" requests_total) - requests ))
  run_saved=$(( $(metric "$1" deflate_saved_bytes_total) - saved ))
}

# rsync of the new tree onto a copy of the old one; sets rsync_sent, rsync_received.
run_rsync() {  # old-tree new-tree
  rm -rf "$work/rsync-basis"
  cp -a "$1" "$work/rsync-basis"
  rsync -r --no-whole-file --stats "$2/" "$work/rsync-basis/" >"$work/rsync.txt"
  rsync_sent=$(awk -F': ' '/^Total bytes sent/ { gsub(/,/, "", $2); print $2 }' "$work/rsync.txt")
  rsync_received=$(awk -F': ' '/^Total bytes received/ { gsub(/,/, "", $2); print $2 }' "$work/rsync.txt")
  rm -rf "$work/rsync-basis"
}

# Both servers as ones that offered the fast mode before, whatever the copy
# remembers from the run that made it: neither side pauses 2000 ms before
# the package request, so the times compare the transfers alone.
know_servers() {  # game package
  printf '127.0.0.1:%s\r\n127.0.0.1:%s\r\n' "$(cat "$work/patches.port")" "$(cat "$work/whole.port")" > "$1/$2.fast"
}

# A case: the player in game-<from> updates to the current build from each
# server in turn, runs times, each time from a fresh copy; the first patched
# copy is kept as game-<to> when to is given. Sets the figures of the runs,
# the median times.
update_case() {  # package from to
  local game=$work/game-run i patch_times=() whole_times=()
  for i in $(seq "$runs"); do
    rm -rf "$game"; cp -a "$work/game-$2" "$game"
    know_servers "$game" "$1"
    run_host patches "$1" "$game"
    patch_times+=("$run_ms")
    patch_bytes=$run_bytes patch_requests=$run_requests patch_saved=$run_saved
    if [ -n "$3" ] && [ "$i" -eq 1 ]; then rm -rf "$work/game-$3"; mv "$game" "$work/game-$3"; fi
    rm -rf "$game"; cp -a "$work/game-$2" "$game"
    know_servers "$game" "$1"
    run_host whole "$1" "$game"
    whole_times+=("$run_ms")
    whole_bytes=$run_bytes
  done
  rm -rf "$game"
  patch_ms=$(median "${patch_times[@]}") whole_ms=$(median "${whole_times[@]}")
  echo "    $1 from $2: ours ${patch_times[*]} ms; whole files ${whole_times[*]} ms" >> "$work/results.txt"
}

report() {  # case against-label against-bytes
  say "$(printf '%-8s %12s %12s %6s %14s %8s %8s %6s' "$1" "$patch_bytes" "$3" "$(ratio "$patch_bytes" "$3")" \
    "$whole_bytes" "$patch_ms" "$whole_ms" "$(ratio "$patch_ms" "$whole_ms")")  ($2; our requests" \
    "$patch_requests x 20 bytes up${rsync_received:+, rsync received $rsync_received}; deflate spared $patch_saved)"
}

start_server patches
start_server whole --no-patches --no-deflate
say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); ${size_mb} MB file, ${text_mb} MB of text"
say "$(printf '%-8s %12s %12s %6s %14s %8s %8s %6s' case bytes against ratio whole-bytes ms whole-ms ratio)"

echo "==> v0, ${size_mb} MB, and its first install" >&2
python3 bench/patch_data.py random "$work/tree/big.bin" "$size_mb"
cp -a "$work/tree" "$work/tree-v0"
publish bench "$work/tree"
mkdir -p "$work/game-empty"
update_case bench empty v0
rsync_received=
report install "the fast mode's bytes" "$whole_bytes"

step() {  # case from to change...
  local name=$1 from=$2 to=$3
  shift 3
  echo "==> $name: $from -> $to" >&2
  python3 bench/patch_data.py "$@"
  rm -rf "$work/tree-$to"; cp -a "$work/tree" "$work/tree-$to"
  publish bench "$work/tree"
  update_case bench "$from" "$to"
  run_rsync "$work/tree-$from" "$work/tree-$to"
  report "$name" "rsync sent" "$rsync_sent"
}
step middle v0 v1 middle "$work/tree/big.bin" 1
step scatter v1 v2 scatter "$work/tree/big.bin" 1 4096
step insert v2 v3 insert "$work/tree/big.bin" 1
echo "==> behind: v0 -> v3" >&2
update_case bench v0 ""
run_rsync "$work/tree-v0" "$work/tree-v3"
report behind "rsync sent" "$rsync_sent"

echo "==> text, ${text_mb} MB in ${text_files} files" >&2
python3 bench/patch_data.py text "$work/text" "$text_mb" "$text_files"
publish benchtext "$work/text"
gzip_bytes=$(find "$work/text" -type f -exec sh -c 'gzip -6 -c "$1" | wc -c' _ {} \; | awk '{ s += $1 } END { print s }')
update_case benchtext empty ""
rsync_received=
report text "gzip -6 of the files" "$gzip_bytes"

echo
echo "==> results"
cat "$work/results.txt"
