#!/usr/bin/env bash
# Two update-server binaries under the same bench/server_load clients, in
# turn (A B A B ...), each round with a fresh server, and the loopback
# ceiling measured between them: payload MB/s of each run, the medians, B/A
# pair by pair and each side against the ceiling's median. The clients run
# on the same cores as the server, and on a shared machine other work takes
# its part of them too: beside the MB/s each run prints the server's CPU and
# its MB per CPU-second, alone and with the clients' CPU (and the ceiling its
# own, both ends of its streams), which the load of others moves much less
# than the MB/s.
#
# usage: bench/server_ab.sh --a BINARY --b BINARY [--build DIR] [--rounds 5]
#                           [--clients 100] [--seconds 5] [--base] [--keep]
#                           [-- EXTRA update-server OPTIONS]
# --base makes the clients speak the base protocol instead of the fast mode.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build=$repo/build
rounds=5
clients=100
seconds=5
fast=1
keep=0
server_a=
server_b=
extra=()
usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --a) server_a=$(realpath "$2"); shift 2 ;;
    --b) server_b=$(realpath "$2"); shift 2 ;;
    --build) build=$(realpath "$2"); shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --base) fast=0; shift ;;
    --keep) keep=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) usage ;;
  esac
done
[ -x "$server_a" ] && [ -x "$server_b" ] || usage

source bench/bench_lib.sh
make_package=$(find_tool make-package)
server_load=$(find_tool server_load)
make_work server-ab
files=200
python3 bench/bench_tree.py make "$work/tree" 200 "$files"
"$make_package" --name benchbig --game "$work/tree" --out "$work/root" >/dev/null
load_args=(--package benchbig --files "$files" --clients "$clients" --seconds "$seconds")
[ $fast -eq 1 ] && load_args+=(--fast --package-file "$work/root/benchbig.cms")
ticks=$(getconf CLK_TCK)

# One server of binary $2 under the clients; sets mbps and cpu.
run_one() {  # label binary
  rm -f "$work/port"
  "$2" --root "$work/root" --port 0 --port-file "$work/port" --quiet "${extra[@]}" 2>>"$work/server-$1.log" &
  local pid=$! port line before after
  pids+=("$pid")
  port=$(wait_for_port_file "$work/port" "$pid")
  before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  line=$("$server_load" --port "$port" "${load_args[@]}")
  after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  mbps=$(echo "$line" | awk '{ for (i = 1; i < NF; ++i) if ($i == "MBps") print $(i + 1) }')
  cpu=$(awk -v t=$(( after - before )) -v hz="$ticks" -v s="$seconds" 'BEGIN { printf "%.0f", 100 * t / hz / s }')
  per_cpu=$(awk -v m="$mbps" -v c="$cpu" 'BEGIN { if (c > 0) printf "%.0f", 100 * m / c; else print 0 }')
  # Server and clients together: the machine's work for the transfer, as
  # the ceiling's counts both ends of its streams.
  both_per_cpu=$(echo "$line" | awk -v m="$mbps" -v c="$cpu" '{ for (i = 1; i < NF; ++i) if ($i == "client_cpu") k = $(i + 1) + 0 }
    END { printf "%.0f", 100 * m / (c + k) }')
  echo "    $1: $line server_cpu $cpu% server_MB_per_cpu_s $per_cpu both_MB_per_cpu_s $both_per_cpu" >> "$work/results.txt"
}

# The ceiling's MB/s and its MB per CPU-second (senders and receivers alike);
# sets ceiling and ceiling_per_cpu.
run_ceiling() {
  local line cpu_s
  line=$(/usr/bin/time -f '%U %S' -o "$work/ceiling-time.txt" "$server_load" --ceiling --seconds "$seconds")
  ceiling=$(echo "$line" | awk '{ for (i = 1; i < NF; ++i) if ($i == "MBps") print $(i + 1) }')
  cpu_s=$(tail -n 1 "$work/ceiling-time.txt" | awk '{ print $1 + $2 }')
  ceiling_per_cpu=$(awk -v m="$ceiling" -v c="$cpu_s" -v s="$seconds" 'BEGIN { printf "%.0f", m * s / c }')
}

say "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
say "# A $server_a; B $server_b; $clients $([ $fast -eq 1 ] && echo fast-mode || echo base) clients, ${seconds} s a run"
as=() bs=() ratios=() ceilings=() a_eff=() b_eff=() c_eff=() a_both=() b_both=()
for round in $(seq "$rounds"); do
  run_one A "$server_a"; as+=("$mbps"); a=$mbps; a_cpu=$cpu; a_eff+=("$per_cpu"); a_both+=("$both_per_cpu")
  run_one B "$server_b"; bs+=("$mbps"); b_cpu=$cpu; b_eff+=("$per_cpu"); b_both+=("$both_per_cpu")
  run_ceiling
  ceilings+=("$ceiling")
  c_eff+=("$ceiling_per_cpu")
  ratios+=("$(ratio "$mbps" "$a")")
  say "round $round: A $a MB/s (server CPU $a_cpu %, ${a_eff[-1]} MB/CPU-s), B $mbps MB/s (server CPU $b_cpu %," \
      "${b_eff[-1]} MB/CPU-s), B/A ${ratios[-1]}, ceiling $ceiling MB/s ($ceiling_per_cpu MB/CPU-s);" \
      "load $(cut -d' ' -f1 /proc/loadavg)"
done
median_of() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
m_a=$(median_of "${as[@]}")
m_b=$(median_of "${bs[@]}")
m_c=$(median_of "${ceilings[@]}")
say "medians: A $m_a MB/s ($(ratio "$m_a" "$m_c")x the ceiling), B $m_b MB/s ($(ratio "$m_b" "$m_c")x)," \
    "ceiling $m_c MB/s (one stream per core); B/A pair by pair: median $(median_of "${ratios[@]}") (${ratios[*]})"
say "MB per server CPU-second, medians: A $(median_of "${a_eff[@]}"), B $(median_of "${b_eff[@]}");" \
    "the ceiling's per CPU-second of both its sides $(median_of "${c_eff[@]}")"
say "MB per CPU-second of server and clients together, medians: A $(median_of "${a_both[@]}")" \
    "($(ratio "$(median_of "${a_both[@]}")" "$(median_of "${c_eff[@]}")")x the ceiling's)," \
    "B $(median_of "${b_both[@]}") ($(ratio "$(median_of "${b_both[@]}")" "$(median_of "${c_eff[@]}")")x)"
echo
cat "$work/results.txt"
