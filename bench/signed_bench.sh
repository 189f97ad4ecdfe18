#!/usr/bin/env bash
# A signed fast-mode update against the same update unsigned, on 127.0.0.1 (by
# hand; CI does not run it). One tree of --size-mb in --files files is published
# twice by make-package: as "plain" and, signed with a new key, as "signed"; one
# update-server serves both. update-host fetches each into a fresh game folder,
# the signed one with the key in gamedata.xml (manifest, SHA-256 of the list and
# of every file besides the MD5), the plain one without; the runs alternate.
# Prints every run's wall time (GNU time), the medians, and their ratio, whole
# and without the client's fixed 2000 ms pause before the package request.
# With --keep the work folder stays, and the two update-host command lines are
# printed, to time them by hand while a server runs on that root.
#
# usage: bench/signed_bench.sh [--build DIR] [--size-mb 200] [--files 200]
#                              [--runs 5] [--keep] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
size_mb=200
files=200
runs=5
keep=0
rebuild=1
usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
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
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
library=$(find_tool libautoupdate.so)
make_work signed

echo "==> making the packages (${size_mb} MB, ${files} files, plain and signed)"
root=$work/root
python3 bench/bench_tree.py make "$work/tree" "$size_mb" "$files"
"$make_package" --new-key "$work/publisher.pem" >/dev/null
"$make_package" --name plain --game "$work/tree" --out "$root" >/dev/null
"$make_package" --name signed --game "$work/tree" --out "$root" --sign "$work/publisher.pem" >/dev/null

"$update_server" --root "$root" --port 0 --port-file "$work/server.port" --quiet 2>>"$work/update-server.log" &
server_pid=$!
pids+=("$server_pid")
port=$(wait_for_port_file "$work/server.port" "$server_pid")

# A launcher folder per case: the key goes only into the signed one's gamedata.xml.
for kind in plain signed; do
  mkdir -p "$work/host-$kind"
  cp "$(find_tool update-host)" "$work/host-$kind/"
  write_gamedata "$work/host-$kind" "$port"
done
sed -i "s|</gamedata>|  <publisherkeys key1=\"$(cat "$work/publisher.pem.pub")\"/>\n</gamedata>|" \
  "$work/host-signed/gamedata.xml"
mkdir -p "$work/system"
export AUTOUPDATE_SYSTEM_DIR=$work/system

host_command() {  # kind
  echo "$work/host-$1/update-host --library $library --game-dir $work/game-$1 --package $1" \
       "--server 127.0.0.1 --timeout 300 --transcript $work/transcript-$1.txt"
}

# One run into a fresh game folder; sets run_ms.
run_once() {  # kind
  local status=0
  rm -rf "$work/game-$1"
  mkdir -p "$work/game-$1"
  # shellcheck disable=SC2046
  /usr/bin/time -f '%e' -o "$work/time-$1.txt" $(host_command "$1") >/dev/null 2>"$work/host-$1.err" || status=$?
  if [ $status -ne 0 ] || ! grep -q '^11111 5 1$' "$work/transcript-$1.txt"; then
    echo "the $1 run did not complete (exit $status); see $work/transcript-$1.txt" >&2
    keep=1
    exit 1
  fi
  run_ms=$(awk '{ printf "%d", $1 * 1000 }' "$work/time-$1.txt")
}

say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
plain=(); signed=()
for i in $(seq "$runs"); do
  echo "==> run $i of $runs"
  run_once plain
  plain+=("$run_ms")
  run_once signed
  signed+=("$run_ms")
done
iconv -f GBK -t UTF-8 "$work/game-signed/autoupdatelog.txt" > "$work/signed-log.txt"
grep -q '签名清单验证通过' "$work/signed-log.txt" ||
  { echo "the signed run did not verify a manifest; see $work/game-signed/autoupdatelog.txt" >&2; keep=1; exit 1; }
mp=$(median "${plain[@]}"); ms=$(median "${signed[@]}")
say "plain  ${size_mb} MB/${files} files, ms: ${plain[*]} (median $mp)"
say "signed ${size_mb} MB/${files} files, ms: ${signed[*]} (median $ms)"
say "signed / plain: $(ratio "$ms" "$mp")x whole, $(ratio $(( ms - 2000 )) $(( mp - 2000 )))x without the 2000 ms pause"
if [ $keep -eq 1 ]; then
  echo "by hand, with update-server --root $root running on port $port (gamedata.xml names it):"
  echo "  rm -rf $work/game-plain; $(host_command plain)"
  echo "  rm -rf $work/game-signed; $(host_command signed)"
fi
