#!/usr/bin/env bash
# A signed build's files from an HTTP mirror, all on 127.0.0.1 (by hand; CI
# does not run it). One tree of --size-mb in --files files is published signed;
# nginx from packaging/nginx/origin.conf.in serves ROOT/.http as the origin,
# and bench/delay_proxy.py (--delay-ms each way) stands in front of it for a
# far mirror, and nginx from packaging/nginx/cache.conf.in as a cache. Three
# update-servers on ROOT name one of them each with --mirror.
#   direct   update-host into a fresh game folder, the key in gamedata.xml,
#            files from the origin, against one curl fetching the same
#            objects over one keep-alive connection (-o each), then md5sum -c
#            of them
#   delayed  the same through the proxy, against one curl through it
#   slot     how long the server held each of those clients' connections:
#            the duration of update-server's "closed" line (0.1 s steps); and
#            the patch's, whose client has the older build installed
#   patch    a player of a single --size-mb file updated after 1 MB changed
#            in its middle: the body bytes the origin's access log says it
#            sent (objects and sums) against rsync's "Total bytes sent" for
#            the same change, as bench/patch_bench.sh takes it
#   cache    --clients update-hosts at once through nginx from
#            packaging/nginx/cache.conf.in (1 MiB slices) in front of the
#            origin: the body bytes the origin sent, against the build's size
# Each game folder starts with the {package}.fast file a first run left, so
# no run waits the client's 2000 ms before its package request: the times are
# those after the fixed pause. Runs of the two sides alternate; medians and
# their ratios are printed. With --keep the work folder stays with one script
# per side (run-host-direct.sh, run-curl-direct.sh, ...); --hold SECONDS
# keeps the servers up that long after the results, to time those by hand.
#
# usage: bench/http_bench.sh [--build DIR] [--size-mb 200] [--files 200]
#                            [--delay-ms 20] [--runs 5] [--clients 8]
#                            [--keep] [--hold SECONDS] [--no-build]
# Needs the native build (built here unless --no-build) and
# bench/install-bench-deps.sh (nginx, curl, rsync, GNU time, python3).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
size_mb=200
files=200
delay_ms=20
runs=5
clients=8
hold=0
keep=0
rebuild=1
usage() { sed -n '2,34p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --delay-ms) delay_ms=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --hold) hold=$2; keep=1; shift 2 ;;
    --no-build) rebuild=0; shift ;;
    *) usage ;;
  esac
done
nginx=$(command -v nginx || echo /usr/sbin/nginx)  # /usr/sbin is only on root's PATH
for tool in "$nginx" curl md5sum rsync python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run bench/install-bench-deps.sh as root" >&2; exit 1; }
done
if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target autoupdate update-host update-server make-package >/dev/null
fi
source bench/bench_lib.sh
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
library=$(find_tool libautoupdate.so)
make_work http-bench
root=$work/root
mkdir -p "$work/system"
export AUTOUPDATE_SYSTEM_DIR=$work/system

echo "==> making the packages (${size_mb} MB in ${files} files; one ${size_mb} MB file)" >&2
python3 bench/bench_tree.py make "$work/tree" "$size_mb" "$files"
mkdir -p "$work/big"
python3 bench/patch_data.py random "$work/big/big.bin" "$size_mb"
cp -a "$work/big" "$work/big-v0"
"$make_package" --new-key "$work/publisher.pem" >/dev/null
publish() {  # package tree
  "$make_package" --name "$1" --game "$2" --out "$root" --sign "$work/publisher.pem" --keep 5 \
    >>"$work/make-package.txt"
}
publish httpbench "$work/tree"
publish httppatch "$work/big"

# The origin as packaging ships it, run as one unprivileged process.
origin=$work/origin
mkdir -p "$origin"
origin_port=$(python3 bench/bench_tree.py free-port)
sed -e "s|@LISTEN@|127.0.0.1:$origin_port|" -e "s|@ROOT@|$root/.http|" -e "s|@PREFIX@|$origin|g" \
  packaging/nginx/origin.conf.in > "$origin/origin.conf"
"$nginx" -p "$origin/" -c "$origin/origin.conf" -g 'master_process off;' >"$origin/nginx.out" 2>&1 &
pids+=("$!")
python3 bench/delay_proxy.py --target "$origin_port" --delay-ms "$delay_ms" --port-file "$work/proxy.port" \
  --lifetime 7200 2>>"$work/proxy.log" &
pids+=("$!")
proxy_port=$(wait_for_port_file "$work/proxy.port" "$!")
# The slicing cache in front of the origin, as packaging ships it too.
cache=$work/cache
mkdir -p "$cache"
cache_port=$(python3 bench/bench_tree.py free-port)
sed -e "s|@LISTEN@|127.0.0.1:$cache_port|" -e "s|@ORIGIN@|127.0.0.1:$origin_port|" -e "s|@PREFIX@|$cache|g" \
  packaging/nginx/cache.conf.in > "$cache/cache.conf"
"$nginx" -p "$cache/" -c "$cache/cache.conf" -g 'master_process off;' >"$cache/nginx.out" 2>&1 &
pids+=("$!")
for port in "$origin_port" "$cache_port"; do
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.05
  done
done
direct_url=http://127.0.0.1:$origin_port/
delayed_url=http://127.0.0.1:$proxy_port/
cached_url=http://127.0.0.1:$cache_port/

# A server per mirror; debug lines give each connection's requests and its close.
start_server() {  # label mirror
  "$update_server" --root "$root" --port 0 --port-file "$work/$1.port" --mirror "$2" --log-level debug \
    2>>"$work/server-$1.log" &
  pids+=("$!")
  wait_for_port_file "$work/$1.port" "$!" >/dev/null
}
start_server direct "$direct_url"
start_server delayed "$delayed_url"
start_server cached "$cached_url"

# One launcher folder per server, the publisher's key in its gamedata.xml, and
# the scripts each side's run is: the bench times them, and so may anyone by hand.
for label in direct delayed; do
  mkdir -p "$work/host-$label"
  cp "$(find_tool update-host)" "$work/host-$label/"
  write_gamedata "$work/host-$label" "$(cat "$work/$label.port")"
  sed -i "s|</gamedata>|  <publisherkeys key1=\"$(cat "$work/publisher.pem.pub")\"/>\n</gamedata>|" \
    "$work/host-$label/gamedata.xml"
  url=${label}_url
  python3 bench/bench_tree.py objects-list "$work/tree" "${!url}" "$work/curl-$label" \
    "$work/curl-$label.conf" "$work/sums-$label.txt"
  cat > "$work/run-host-$label.sh" <<SH
#!/bin/sh
# A fresh game folder holding only the .fast file, then the whole update.
rm -rf "$work/game-$label" && mkdir -p "$work/game-$label" &&
cp "$work/seed-$label/"*.fast "$work/game-$label/" 2>/dev/null
exec "$work/host-$label/update-host" --library "$library" --game-dir "$work/game-$label" \\
  --package httpbench --server 127.0.0.1 --timeout 600 --transcript "$work/transcript-$label.txt"
SH
  cat > "$work/run-curl-$label.sh" <<SH
#!/bin/sh
# The same objects over one keep-alive connection, then their MD5s checked.
rm -rf "$work/curl-$label" && mkdir -p "$work/curl-$label" &&
curl -sS -f -K "$work/curl-$label.conf" && exec md5sum -c --quiet "$work/sums-$label.txt"
SH
  chmod +x "$work/run-host-$label.sh" "$work/run-curl-$label.sh"
done

# One timed run of a script; sets run_ms. A host run must end in success.
run_timed() {  # script label
  local status=0
  /usr/bin/time -f '%e' -o "$work/time.txt" "$work/$1.sh" >"$work/$1.out" 2>&1 || status=$?
  run_ms=$(awk '{ printf "%d", $1 * 1000 }' "$work/time.txt")
  if [ $status -ne 0 ] || { [[ $1 == run-host-* ]] && ! grep -q '^11111 5 1$' "$work/transcript-$2.txt"; }; then
    echo "$1 did not complete (exit $status); see $work/$1.out" >&2
    keep=1
    exit 1
  fi
}

# Body bytes in the origin's access log from line first on; sets log_bytes, log_requests.
origin_bytes() {  # first-line
  log_bytes=$(tail -n "+$1" "$origin/access.log" | awk '{ s += $(NF - 1) } END { print s + 0 }')
  log_requests=$(tail -n "+$1" "$origin/access.log" | wc -l)
}
log_lines() { wc -l < "$origin/access.log"; }

# A first run per server leaves the .fast file every later game folder starts
# with (it names that server's port); it also reads the objects into the page
# cache for both sides alike.
echo "==> a first run per server, to learn it is ours" >&2
for label in direct delayed; do
  mkdir -p "$work/seed-$label"
  run_timed "run-host-$label" "$label"
  cp "$work/game-$label/"*.fast "$work/seed-$label/" ||
    { echo "the first run left no .fast file; see $work/game-$label" >&2; keep=1; exit 1; }
done
first=$(( $(log_lines) + 1 ))
run_timed run-host-direct direct
origin_bytes "$first"
run_timed run-curl-direct direct
curl_bytes=$(find "$work/curl-direct" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg);" \
  "${size_mb} MB in ${files} files, ${delay_ms} ms each way through the proxy"
say "one update: $log_requests requests, $log_bytes body bytes from the origin; curl's objects: $curl_bytes bytes"

# Runs of both sides in turn; sets m_host, m_curl and the host runs' slot times.
compare() {  # label
  local i hosts=() curls=() slots=()
  for i in $(seq "$runs"); do
    echo "==> $1: run $i of $runs" >&2
    run_timed "run-host-$1" "$1"
    hosts+=("$run_ms")
    run_timed "run-curl-$1" "$1"
    curls+=("$run_ms")
  done
  m_host=$(median "${hosts[@]}") m_curl=$(median "${curls[@]}")
  # "closed: <why>, N files, N bytes, S s, ..." per connection; the seconds in 0.1 s.
  mapfile -t slots < <(grep -v ' summary: ' "$work/server-$1.log" | grep ' closed: ' | tail -n "$runs" |
    sed -E 's/.*, ([0-9.]+) s(,.*)?$/\1/' | awk '{ printf "%d\n", $1 * 1000 }')
  m_slot=$(median "${slots[@]}")
  say "$1 update-host, ms: ${hosts[*]} (median $m_host)"
  say "$1 curl + md5sum, ms: ${curls[*]} (median $m_curl)"
  say "$1 update-host / curl: $(ratio "$m_host" "$m_curl")x"
  say "$1 slot held per client, ms: ${slots[*]} (median $m_slot)"
}
compare direct
compare delayed

# The player of the single file installs it, then updates after the change;
# the server's own bytes to the client show what did not come from the origin.
host_into() {  # game
  local status=0
  "$work/host-direct/update-host" --library "$library" --game-dir "$1" --package httppatch \
    --server 127.0.0.1 --timeout 600 --transcript "$work/transcript-patch.txt" >"$work/patch.out" 2>&1 || status=$?
  if [ $status -ne 0 ] || ! grep -q '^11111 5 1$' "$work/transcript-patch.txt"; then
    echo "the httppatch update did not complete (exit $status); see $work/patch.out" >&2
    keep=1
    exit 1
  fi
  sleep 0.2  # the close line follows the client's end
  local closed
  closed=$(grep -v ' summary: ' "$work/server-direct.log" | grep ' closed: ' | tail -n 1)
  server_bytes=$(echo "$closed" | sed -E 's/.*, ([0-9]+) bytes,.*/\1/')
  server_held=$(echo "$closed" | sed -E 's/.*, ([0-9.]+) s(,.*)?$/\1/')
}
echo "==> patch: 1 MB changed in the middle of ${size_mb} MB" >&2
mkdir -p "$work/game-v0"
host_into "$work/game-v0"
python3 bench/patch_data.py middle "$work/big/big.bin" 1
publish httppatch "$work/big"
sleep 1.2  # servers look for a new packages.txt once a second
cp -a "$work/game-v0" "$work/game-v1"
first=$(( $(log_lines) + 1 ))
host_into "$work/game-v1"
origin_bytes "$first"
cmp -s "$work/big/big.bin" "$work/game-v1/big.bin" ||
  { echo "the patched file differs from the build's; see $work/game-v1" >&2; keep=1; exit 1; }
rm -rf "$work/rsync-basis"
cp -a "$work/big-v0" "$work/rsync-basis"
rsync -r --no-whole-file --stats "$work/big/" "$work/rsync-basis/" >"$work/rsync.txt"
rsync_sent=$(awk -F': ' '/^Total bytes sent/ { gsub(/,/, "", $2); print $2 }' "$work/rsync.txt")
say "patch, origin body bytes: $log_bytes in $log_requests requests (server to client: $server_bytes bytes;" \
  "the connection held ${server_held} s with the older build installed)"
say "patch, rsync sent: $rsync_sent bytes; origin / rsync: $(ratio "$log_bytes" "$rsync_sent")x"
tail -n "+$first" "$origin/access.log" > "$work/patch-access.log"


# A wave of players at once through the cache: what reaches the origin.
echo "==> cache: $clients clients at once" >&2
mkdir -p "$work/host-cached"
cp "$(find_tool update-host)" "$work/host-cached/"
write_gamedata "$work/host-cached" "$(cat "$work/cached.port")"
sed -i "s|</gamedata>|  <publisherkeys key1=\"$(cat "$work/publisher.pem.pub")\"/>\n</gamedata>|" \
  "$work/host-cached/gamedata.xml"
first=$(( $(log_lines) + 1 ))
wave=()
start=$(now_ms)
for i in $(seq "$clients"); do
  mkdir -p "$work/game-cached-$i"
  "$work/host-cached/update-host" --library "$library" --game-dir "$work/game-cached-$i" --package httpbench \
    --server 127.0.0.1 --timeout 600 --transcript "$work/transcript-cached-$i.txt" >"$work/cached-$i.out" 2>&1 &
  wave+=("$!")
done
failed=0
for i in $(seq "$clients"); do
  wait "${wave[$((i - 1))]}" && grep -q '^11111 5 1$' "$work/transcript-cached-$i.txt" || failed=$((failed + 1))
done
wave_ms=$(( $(now_ms) - start ))
[ $failed -eq 0 ] || { echo "$failed of the cached updates did not complete; see $work/cached-*.out" >&2; keep=1; exit 1; }
origin_bytes "$first"
build_bytes=$(find "$work/tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
cache_sent=$(awk '{ s += $(NF - 2) } END { print s + 0 }' "$cache/access.log")
say "cache, $clients clients at once: ${wave_ms} ms for the wave; the cache sent $cache_sent body bytes," \
  "the origin $log_bytes in $log_requests requests: $(ratio "$log_bytes" "$build_bytes")x the build's $build_bytes"
for i in $(seq "$clients"); do rm -rf "$work/game-cached-$i"; done

echo
echo "==> results"
cat "$work/results.txt"
if [ $keep -eq 1 ]; then
  echo "by hand, while the servers run (each script starts from a fresh folder):"
  for label in direct delayed; do echo "  $work/run-host-$label.sh against $work/run-curl-$label.sh"; done
  echo "  the patch's access log lines: $work/patch-access.log"
fi
if [ "$hold" -gt 0 ]; then
  echo "the servers stay up for $hold s" >&2
  sleep "$hold" || true  # ended early by hand: the servers go all the same
fi
