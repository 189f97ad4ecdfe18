#!/usr/bin/env bash
# The demo: packages examples/ with make-package, serves it with update-server on
# 127.0.0.1 and updates a fresh game directory in .demo/game with update-host, twice:
# the first run fetches everything, the second finds nothing to fetch.
#   scripts/demo.sh          the native library (libautoupdate.so)
#   scripts/demo.sh --wine   AutoUpdate.dll and update-host.exe under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
wine_mode=0
case "${1:-}" in
  --wine) wine_mode=1 ;;
  "") ;;
  *) echo "usage: $0 [--wine]" >&2; exit 2 ;;
esac

demo=$root/.demo
jobs=${AUTOUPDATE_JOBS:-2}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$demo/wineprefix

bash scripts/install-deps.sh

echo "==> building"
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j "$jobs" --target autoupdate update-host update-server make-package >/dev/null
if [ $wine_mode -eq 1 ]; then
  if [ ! -f build-win/build.ninja ]; then
    cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DAUTOUPDATE_TESTS=OFF >/dev/null
  fi
  cmake --build build-win -j "$jobs" >/dev/null
fi

find_tool() {
  find "$1" -name "$2" -type f -not -path '*/CMakeFiles/*' | head -n 1
}
make_package=$(find_tool build make-package)
update_server=$(find_tool build update-server)

# Keep a made Wine prefix between demos: its first start takes a while.
find "$demo" -mindepth 1 -maxdepth 1 -not -name wineprefix -exec rm -rf {} + 2>/dev/null || true
mkdir -p "$demo/tree" "$demo/packages" "$demo/host" "$demo/game" "$demo/system"
cp -r examples/game examples/system "$demo/tree/"
# Something big enough for the progress bar to move.
head -c $((6 * 1024 * 1024)) /dev/urandom > "$demo/tree/game/data/music.bin"

echo "==> make-package --name demo"
"$make_package" --name demo --game "$demo/tree/game" --system "$demo/tree/system" --out "$demo/packages"

echo "==> update-server on 127.0.0.1"
"$update_server" --root "$demo/packages" --bind 127.0.0.1 --port 0 --port-file "$demo/server.port" \
  2> "$demo/server.log" &
server_pid=$!
display_pid=
cleanup() {
  if [ -n "$display_pid" ]; then
    timeout 30 wineserver -k 2>/dev/null || true
    kill "$display_pid" 2>/dev/null || true
  fi
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  [ -s "$demo/server.port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$demo/server.log" >&2; exit 1; }
  sleep 0.1
done
port=$(cat "$demo/server.port")
echo "    listening on 127.0.0.1:$port (log: .demo/server.log)"

cat > "$demo/host/gamedata.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<gamedata>
  <servers>
    <server serverid="1" name="demo" ip="127.0.0.1" autoupdate="1" autoupdateport="$port"/>
  </servers>
  <FuncConfig>
    <Func intername="autoupdate" expandprop="http://127.0.0.1/demo/full-client.zip"/>
  </FuncConfig>
</gamedata>
XML

if [ $wine_mode -eq 1 ]; then
  cp build-win/AutoUpdate.dll "$(find_tool build-win update-host.exe)" "$demo/host/"
  cp /usr/i686-w64-mingw32/lib/zlib1.dll "$demo/host/zlib.DLL"
  # One X server for the whole demo, ended only after the prefix's own
  # processes: they draw on the display of the Wine program that started them
  # and, were it a single run's, would say "X connection ... broken" when it
  # went.
  for number in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ] && continue
    Xvfb ":$number" -nolisten tcp </dev/null >/dev/null 2>&1 &
    display_pid=$!
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$number" ] && break
      sleep 0.1
    done
    export DISPLAY=:$number
    break
  done
  if [ ! -d "$WINEPREFIX/drive_c" ]; then
    echo "==> making a Wine prefix in .demo/wineprefix (once)"
    timeout 300 wineboot -i
  fi
  system_dir=$WINEPREFIX/drive_c/windows/system32
  winpath() { echo "Z:${1//\//\\}"; }
  host=(wine "$demo/host/update-host.exe")
else
  cp build/update-host "$demo/host/"
  export AUTOUPDATE_SYSTEM_DIR=$demo/system
  system_dir=$AUTOUPDATE_SYSTEM_DIR
  winpath() { echo "$1"; }
  host=("$demo/host/update-host" --library "$root/build/libautoupdate.so")
fi

run_update() {
  local n=$1 status=0
  echo
  echo "==> update-host run $n: --game-dir .demo/game --package demo --server 127.0.0.1"
  (cd "$demo" && timeout 300 "${host[@]}" --game-dir "$(winpath "$demo/game")" --package demo \
    --server 127.0.0.1 --timeout 240 --transcript "$(winpath "$demo/run$n.txt")" \
    > "$demo/run$n.stdout") || status=$?
  local fetched
  fetched=$(awk '$1 == 11115 { print $2 }' "$demo/run$n.txt" | tail -n 1)
  echo "    exit status $status ($( case $status in 0) echo complete ;; 1) echo incomplete ;;
    2) echo refused ;; *) echo stopped or timed out ;; esac ))"
  echo "    files in the fetch table: ${fetched:-none}; final report: $(grep -E '^11111 5 ' "$demo/run$n.txt" || echo none)"
  echo "    transcript: .demo/run$n.txt   log: .demo/game/autoupdatelog.txt (also on .demo/run$n.stdout)"
  return 0
}

run_update 1
echo "    game directory now holds:"
(cd "$demo/game" && find . -type f -not -path './Update/*' | sort | sed 's/^\./      /')
if [ -f "$system_dir/demohelper.txt" ]; then
  echo "    system file installed: $system_dir/demohelper.txt"
fi

run_update 2
echo
echo "The second run fetched only what changed since the first: nothing."
