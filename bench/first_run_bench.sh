#!/usr/bin/env bash
# A repair of a game that is installed, which digests every file the list
# names as a first run does, against md5sum of the same files, on 127.0.0.1
# (by hand; CI does not run it). One tree of --size-mb in --files files is
# published by make-package (signed with --signed) and served by
# update-server; the game folder holds the same files (hard links), so the run
# fetches nothing. A first run there leaves the record of a fast server, so
# the repairs ask for the package without the client's 2000 ms pause, which a
# first run on a new folder adds. The repairs (update-host --repair) alternate
# with md5sum over the tree, both warm in the page cache. Prints every run's
# wall time (GNU time), the medians and their ratio. --library times another
# build of the library in the same setting; with --keep the work folder stays
# and both command lines are printed, to time them by hand.
#
# usage: bench/first_run_bench.sh [--build DIR] [--library PATH] [--size-mb 2000]
#                                 [--files 2000] [--runs 5] [--signed] [--keep] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
library=
size_mb=2000
files=2000
runs=5
signed=0
keep=0
rebuild=1
usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --library) library=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --signed) signed=1; shift ;;
    --keep) keep=1; shift ;;
    --no-build) rebuild=0; shift ;;
    *) usage ;;
  esac
done
command -v /usr/bin/time >/dev/null || { echo "missing GNU time: run bench/install-bench-deps.sh as root" >&2; exit 1; }
if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target autoupdate update-host update-server make-package >/dev/null
fi
source bench/bench_lib.sh
[ -n "$library" ] || library=$(find_tool libautoupdate.so)
make_work first-run

echo "==> making the package (${size_mb} MB, ${files} files)"
python3 bench/bench_tree.py make "$work/tree" "$size_mb" "$files"
sign=()
if [ $signed -eq 1 ]; then
  "$(find_tool make-package)" --new-key "$work/publisher.pem" >/dev/null
  sign=(--sign "$work/publisher.pem")
fi
"$(find_tool make-package)" --name game --game "$work/tree" --out "$work/root" "${sign[@]}" >/dev/null
"$(find_tool update-server)" --root "$work/root" --port 0 --port-file "$work/server.port" --quiet \
  2>>"$work/update-server.log" &
pids+=("$!")
port=$(wait_for_port_file "$work/server.port" "${pids[0]}")

mkdir -p "$work/host" "$work/system"
cp "$(find_tool update-host)" "$work/host/"
write_gamedata "$work/host" "$port"
if [ $signed -eq 1 ]; then
  sed -i "s|</gamedata>|  <publisherkeys key1=\"$(cat "$work/publisher.pem.pub")\"/>\n</gamedata>|" \
    "$work/host/gamedata.xml"
fi
export AUTOUPDATE_SYSTEM_DIR=$work/system
cp -al "$work/tree" "$work/game"
(cd "$work/tree" && find . -type f | sort) > "$work/files.txt"

host_command="$work/host/update-host --library $library --game-dir $work/game --package game \
--server 127.0.0.1 --timeout 600 --transcript $work/transcript.txt"
md5sum_command="sh -c 'cd $work/tree && exec xargs md5sum < $work/files.txt'"

# The run's transcript: complete, and nothing fetched.
check_run() {
  if ! grep -q '^11111 5 1$' "$work/transcript.txt" || grep -q '^11115 [1-9]' "$work/transcript.txt"; then
    echo "the run did not complete without a download; see $work/transcript.txt" >&2
    keep=1
    exit 1
  fi
}

elapsed_ms() { /usr/bin/time -f '%e' -o "$work/time.txt" sh -c "$1" >/dev/null 2>>"$work/commands.err"; \
               awk '{ printf "%d", $1 * 1000 }' "$work/time.txt"; }
cat "$work/tree"/*/* >/dev/null
say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), library $library"
first=$(elapsed_ms "$host_command")
check_run
say "first run (with the 2000 ms pause) ${size_mb} MB/${files} files: $first ms"
ours=(); theirs=()
for i in $(seq "$runs"); do
  echo "==> repair $i of $runs"
  ours+=("$(elapsed_ms "$host_command --repair")")
  check_run
  theirs+=("$(elapsed_ms "$md5sum_command")")
done
mo=$(median "${ours[@]}"); mt=$(median "${theirs[@]}")
say "repair ${size_mb} MB/${files} files, ms: ${ours[*]} (median $mo)"
say "md5sum ${size_mb} MB/${files} files, ms: ${theirs[*]} (median $mt)"
say "repair / md5sum: $(ratio "$mo" "$mt")x"
if [ $keep -eq 1 ]; then
  echo "by hand, while update-server serves $work/root on port $port:"
  echo "  AUTOUPDATE_SYSTEM_DIR=$work/system $host_command --repair"
  echo "  $md5sum_command"
fi
