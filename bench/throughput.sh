#!/usr/bin/env bash
# Side-by-side throughput figures of the updater against plain HTTP, all on
# 127.0.0.1, in one run (by hand; CI does not run it):
#   loopback  200 MB / 200 files: update-host's whole run (--linger 0: without
#             its wait for late messages), less its fixed 2000 ms pause before
#             the package request, against nginx + one keep-alive
#             curl fetching the same files, then md5sum -c of them
#   latency   the 50 MB package with 20 ms added each way by bench/delay_proxy.py,
#             the same proxy in front of both servers
#   floor     the 50 MB package from a server that offers no fast mode (our own
#             update-server pinned by --chunk 10237; with --floor-server python
#             bench/base_server.py, written from the base wire format alone, which
#             costs about 1 ms more per frame) against 2000 ms + 5 ms per reply
#             frame + the loopback transfer time curl needs for the same files
#   rss       update-host's peak RSS during the 50 MB run against its peak when
#             AutoUpdate refuses at once (a game directory of "///"), i.e. its
#             RSS before AutoUpdate has done anything
#   clients   update-server with 1, 10, 100 and 1000 clients (bench/server_load)
#             for a few seconds each, in the base protocol and, when the server
#             offers it, in the fast mode: MB/s, CPU, RSS; and the loopback
#             ceiling of this machine (server_load --ceiling), with one stream
#             per core and with 100 streams
#
# usage: bench/throughput.sh [--build DIR] [--only SECTION,...] [--runs N]
#                            [--size-mb 200] [--latency-size-mb 50] [--files 200]
#                            [--chunk N] [--delay-ms 20] [--client-seconds 5] [--keep]
#                            [--no-build] [--floor-server python|update-server]
# Needs the native build (it builds the targets it uses unless --no-build) and
# bench/install-bench-deps.sh (nginx, curl, GNU time, python3).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
sections=loopback,latency,floor,rss,clients
runs=3
size_mb=200
latency_mb=50
files=200
chunk=
delay_ms=20
client_seconds=5
keep=0
rebuild=1
floor_server=update-server
# One update-host run may take this long; a base-protocol run of 200 MB at the
# default chunk of 4096 bytes would not fit (51200 frames of at least 5 ms).
run_limit=300

usage() { sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --only) sections=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --latency-size-mb) latency_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --chunk) chunk=$2; shift 2 ;;
    --delay-ms) delay_ms=$2; shift 2 ;;
    --client-seconds) client_seconds=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --no-build) rebuild=0; shift ;;
    --floor-server) floor_server=$2; shift 2 ;;
    *) usage ;;
  esac
done
wants() { [[ ",$sections," == *",$1,"* ]]; }

for tool in nginx curl md5sum python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run bench/install-bench-deps.sh as root" >&2; exit 1; }
done

if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target autoupdate update-host update-server make-package server_load >/dev/null
fi
source bench/bench_lib.sh
make_package=$(find_tool make-package)
update_server=$(find_tool update-server)
server_load=$(find_tool server_load)
library=$(find_tool libautoupdate.so)

make_work throughput

echo "==> making the packages (${size_mb} MB and ${latency_mb} MB, ${files} files each)"
root=$work/root
python3 bench/bench_tree.py make "$work/tree-big" "$size_mb" "$files"
python3 bench/bench_tree.py make "$work/tree-small" "$latency_mb" "$files"
"$make_package" --name benchbig --game "$work/tree-big" --out "$root" >/dev/null
"$make_package" --name benchsmall --game "$work/tree-small" --out "$root" >/dev/null
chmod -R a+rX "$work"

start_update_server() {  # prints the port; the pid goes to server_pid
  rm -f "$work/server.port"
  "$update_server" --root "$root" --port 0 --port-file "$work/server.port" --quiet ${chunk:+--chunk "$chunk"} \
    2>>"$work/update-server.log" &
  server_pid=$!
  pids+=("$server_pid")
}
start_update_server
server_port=$(wait_for_port_file "$work/server.port" "$server_pid")

# Does the server on this port append anything after byte 114 of its package reply?
offers_fast_mode() {
  python3 - "$1" <<'PY'
import socket, struct, sys
request = bytearray(114)
struct.pack_into('<HIH', request, 0, 112, 32, 1)
request[12:12 + len(b'benchbig')] = b'benchbig'
with socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=10) as s:
    s.sendall(request)
    head = b''
    while len(head) < 2:
        head += s.recv(2 - len(head))
print('yes' if struct.unpack('<H', head)[0] > 112 else 'no')
PY
}
extension=$(offers_fast_mode "$server_port")

nginx_port=$(python3 bench/bench_tree.py free-port)
mkdir -p "$work/nginx/logs" "$work/nginx/temp"
cat > "$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  keepalive_timeout 60;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/temp/body;
  proxy_temp_path $work/nginx/temp/proxy;
  fastcgi_temp_path $work/nginx/temp/fastcgi;
  uwsgi_temp_path $work/nginx/temp/uwsgi;
  scgi_temp_path $work/nginx/temp/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $root;
  }
}
CONF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" &
pids+=("$!")
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$nginx_port/packages.txt" && break
  sleep 0.05
done

mkdir -p "$work/host" "$work/system"
cp "$(find_tool update-host)" "$work/host/"
export AUTOUPDATE_SYSTEM_DIR=$work/system

# One update-host run into a fresh game directory; sets host_ms, host_rss_kb.
run_host() {  # package port label
  local game=$work/game-$3 transcript=$work/transcript-$3.txt status=0 start
  rm -rf "$game"
  mkdir -p "$game"
  write_gamedata "$work/host" "$2"
  start=$(now_ms)
  /usr/bin/time -f '%M' -o "$work/time-$3.txt" \
    "$work/host/update-host" --library "$library" --game-dir "$game" --package "$1" \
    --server 127.0.0.1 --timeout "$run_limit" --transcript "$transcript" --linger 0 \
    >/dev/null 2>"$work/host-$3.err" || status=$?
  host_ms=$(( $(now_ms) - start ))
  host_rss_kb=$(tail -n 1 "$work/time-$3.txt")
  if [ $status -ne 0 ] || ! grep -q '^11111 5 1$' "$transcript"; then
    echo "update-host run $3 did not complete (exit $status); see $transcript" >&2
    keep=1
    exit 1
  fi
}

# One keep-alive curl for every file, then md5sum -c; sets curl_ms, sum_ms.
run_curl() {  # package port label
  local dest=$work/http-$3 start
  rm -rf "$dest"
  python3 bench/bench_tree.py fetch-list "$root" "$1" "http://127.0.0.1:$2/$1/files" "$dest" \
    "$work/curl-$3.conf" "$work/sums-$3.txt"
  start=$(now_ms)
  curl -sS -f --create-dirs -K "$work/curl-$3.conf"
  curl_ms=$(( $(now_ms) - start ))
  start=$(now_ms)
  md5sum -c --quiet "$work/sums-$3.txt"
  sum_ms=$(( $(now_ms) - start ))
}

# Runs of both sides in turn; a section's update-host runs stop repeating once
# one takes over 30 s (the base protocol's pauses), so every section stays
# within a few minutes. Sets the medians m_host, m_curl, m_sum.
compare() {  # package host-port http-port label
  local i hosts=() curls=() sums=()
  for i in $(seq "$runs"); do
    run_curl "$1" "$3" "$4"
    curls+=("$curl_ms")
    sums+=("$sum_ms")
    if [ ${#hosts[@]} -eq 0 ] || [ "${hosts[-1]}" -lt 30000 ]; then
      run_host "$1" "$2" "$4"
      hosts+=("$host_ms")
    fi
  done
  m_host=$(median "${hosts[@]}")
  m_curl=$(median "${curls[@]}")
  m_sum=$(median "${sums[@]}")
  echo "    $4: update-host ${hosts[*]} ms; curl ${curls[*]} ms; md5sum ${sums[*]} ms" >> "$work/results.txt"
}

say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
say "# update-server: fast-mode block in its package reply: $extension; chunk ${chunk:-default}"

if wants loopback; then
  echo "==> loopback, ${size_mb} MB"
  compare benchbig "$server_port" "$nginx_port" loopback
  say "loopback ${size_mb} MB/${files} files: update-host $m_host ms ($(( m_host - 2000 )) ms without the pause)," \
      "curl $m_curl ms, md5sum $m_sum ms: $(ratio $(( m_host - 2000 )) $(( m_curl + m_sum )))x curl+md5sum," \
      "$(ratio $(( m_host - 2000 )) "$m_curl")x curl"
fi

if wants latency; then
  echo "==> ${delay_ms} ms each way, ${latency_mb} MB"
  python3 bench/delay_proxy.py --target "$server_port" --delay-ms "$delay_ms" --port-file "$work/proxy1.port" \
    --lifetime 1800 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  proxy_server=$(wait_for_port_file "$work/proxy1.port" "$proxy_pid")
  python3 bench/delay_proxy.py --target "$nginx_port" --delay-ms "$delay_ms" --port-file "$work/proxy2.port" \
    --lifetime 1800 &
  proxy_pid=$!
  pids+=("$proxy_pid")
  proxy_http=$(wait_for_port_file "$work/proxy2.port" "$proxy_pid")
  compare benchsmall "$proxy_server" "$proxy_http" latency
  say "latency ${delay_ms} ms each way, ${latency_mb} MB/${files} files: update-host $m_host ms" \
      "($(( m_host - 2000 )) ms without the pause), curl $m_curl ms, md5sum $m_sum ms:" \
      "$(ratio $(( m_host - 2000 )) "$m_curl")x curl, $(ratio $(( m_host - 2000 )) $(( m_curl + m_sum )))x curl+md5sum"
fi

if wants floor; then
  echo "==> base-protocol server, ${latency_mb} MB"
  rm -f "$work/base.port"
  if [ "$floor_server" = update-server ]; then
    "$update_server" --root "$root" --port 0 --port-file "$work/base.port" --quiet --chunk 10237 \
      2>>"$work/update-server.log" &
  else
    python3 bench/base_server.py --root "$root" --chunk 10237 --port-file "$work/base.port" --lifetime 1800 &
  fi
  base_pid=$!
  pids+=("$base_pid")
  base_port=$(wait_for_port_file "$work/base.port" "$base_pid")
  if [ "$(offers_fast_mode "$base_port")" != no ]; then
    echo "the floor's server offers the fast mode; its figure would not be the base protocol's" >&2
    exit 1
  fi
  compare benchsmall "$base_port" "$nginx_port" floor
  read -r frames _ < <(python3 bench/bench_tree.py frames "$root" benchsmall 10237)
  floor_ms=$(( 2000 + 5 * frames + m_curl ))
  say "floor, base protocol at chunk 10237 ($floor_server), ${latency_mb} MB/${files} files: update-host $m_host ms," \
      "floor $floor_ms ms (2000 + 5 x $frames frames + curl $m_curl ms): $(ratio "$m_host" "$floor_ms")x the floor"
fi

if wants rss; then
  echo "==> peak RSS, ${latency_mb} MB"
  status=0
  /usr/bin/time -f '%M' -o "$work/time-refused.txt" "$work/host/update-host" --library "$library" \
    --game-dir /// --package benchsmall --server 127.0.0.1 --timeout 10 >/dev/null 2>&1 || status=$?
  if [ $status -ne 2 ]; then
    echo "update-host with a refused AutoUpdate ended with $status, not 2" >&2
    exit 1
  fi
  before_kb=$(tail -n 1 "$work/time-refused.txt")
  run_host benchsmall "$server_port" rss
  say "peak RSS of update-host, ${latency_mb} MB run: $host_rss_kb KiB against $before_kb KiB" \
      "when AutoUpdate refuses at once: +$(( host_rss_kb - before_kb )) KiB"
fi

if wants clients; then
  echo "==> update-server under 1 to 1000 clients, ${client_seconds} s each"
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  start_update_server
  server_port=$(wait_for_port_file "$work/server.port" "$server_pid")
  ticks=$(getconf CLK_TCK)
  cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$server_pid/stat"; }
  status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$server_pid/status"; }
  say "update-server: descriptor limit $(ulimit -n); $(status_kb VmRSS) KiB RSS before the clients"
  modes=(base)
  [ "$extension" = yes ] && modes+=(fast)
  for mode in "${modes[@]}"; do
    mode_args=()
    [ "$mode" = fast ] && mode_args=(--fast --package-file "$root/benchbig.cms")
    for clients in 1 10 100 1000; do
      before=$(cpu_ticks)
      line=$("$server_load" --port "$server_port" --package benchbig --files "$files" \
        --clients "$clients" --seconds "$client_seconds" "${mode_args[@]}")
      after=$(cpu_ticks)
      mbps=$(echo "$line" | awk '{ for (i = 1; i < NF; ++i) if ($i == "MBps") print $(i + 1) }')
      seconds=$(echo "$line" | awk '{ for (i = 1; i < NF; ++i) if ($i == "seconds") print $(i + 1) }')
      cpu=$(awk -v t=$(( after - before )) -v hz="$ticks" -v s="$seconds" 'BEGIN { printf "%.0f", 100 * t / hz / s }')
      say "update-server, $clients $mode clients: $mbps MB/s, CPU $cpu %, RSS $(status_kb VmRSS) KiB" \
          "(peak $(status_kb VmHWM) KiB); $line"
    done
  done
  ceiling=$("$server_load" --ceiling --seconds "$client_seconds")
  say "loopback ceiling (one stream per core, 64 KiB writes): $ceiling"
  # As many streams as the 100 clients: what loopback carries when its bytes
  # are spread over that many connections.
  ceiling=$("$server_load" --ceiling --streams 100 --seconds "$client_seconds")
  say "loopback ceiling (100 streams, 64 KiB writes): $ceiling"
fi

echo
echo "==> results"
cat "$work/results.txt"
