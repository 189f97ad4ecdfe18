# Helpers of the hand-run bench scripts, sourced by them after they have set
# build (the native build folder) and keep (1: leave the work folder).

find_tool() { find "$build" -name "$1" -type f -not -path '*/CMakeFiles/*' | head -n 1; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
say() { echo "$*" | tee -a "$work/results.txt"; }

# A fresh work folder; the processes whose pids go into pids end with the
# script, and the folder goes too unless keep is 1.
make_work() {  # name
  # TMPDIR=/dev/shm keeps the work folder in memory, off the disk's own costs.
  work=$(mktemp -d "${TMPDIR:-/tmp}/autoupdate-$1.XXXXXX")
  chmod 755 "$work"
  pids=()
  trap cleanup EXIT
}
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$keep" -eq 0 ]; then rm -rf "$work"; else echo "kept $work" >&2; fi
}

wait_for_port_file() {  # file pid
  local _
  for _ in $(seq 200); do
    [ -s "$1" ] && { cat "$1"; return 0; }
    kill -0 "$2" 2>/dev/null || break
    sleep 0.05
  done
  echo "a server did not start" >&2
  exit 1
}

# The gamedata.xml beside the launcher: one server on 127.0.0.1.
write_gamedata() {  # dir port
  cat > "$1/gamedata.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<gamedata>
  <servers>
    <server serverid="1" name="bench" ip="127.0.0.1" autoupdate="1" autoupdateport="$2"/>
  </servers>
</gamedata>
XML
}
