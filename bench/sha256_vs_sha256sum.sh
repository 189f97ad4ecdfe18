#!/usr/bin/env bash
# bench/sha256_vs_sha256sum.sh BUILD_DIR [RUNS]: whole-process timings of
# sha256_scan (the platform SHA-256) and sha256sum over the same 64 MB file,
# warm in the page cache; prints each run and the medians' ratio
# (sha256sum time / ours: 1.0 or more means ours is as fast).
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-7}
scan=$build/bench/sha256_scan
[ -x "$scan" ] || { echo "build the sha256_scan target first" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((64 << 20)) /dev/urandom > "$work/data"
cat "$work/data" > /dev/null

ours=$("$scan" "$work/data" | cut -d' ' -f1)
theirs=$(sha256sum "$work/data" | cut -d' ' -f1)
[ "$ours" = "$theirs" ] || { echo "digests differ: $ours $theirs" >&2; exit 1; }

elapsed_ms() { /usr/bin/time -f '%e' "$@" 2>&1 >/dev/null | awk '{ printf "%d\n", $1 * 1000 }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

a=(); b=()
for _ in $(seq "$runs"); do
  a+=("$(elapsed_ms "$scan" "$work/data")")
  b+=("$(elapsed_ms sha256sum "$work/data")")
done
ma=$(median "${a[@]}"); mb=$(median "${b[@]}")
echo "sha256_scan ms: ${a[*]} (median $ma)"
echo "sha256sum   ms: ${b[*]} (median $mb)"
awk -v a="$ma" -v b="$mb" 'BEGIN { printf "speed ratio (sha256sum time / ours): %.2f\n", (a > 0 ? b / a : 0) }'
