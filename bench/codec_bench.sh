#!/usr/bin/env bash
# zlib's uncompress against zstd's decompression for the deflated chunk
# replies of the text case (by hand; CI does not run it): the text tree
# bench/patch_bench.sh serves (bench/patch_data.py text), cut into the pieces
# make-package stores, packed by each codec once, then unpacked over and over
# by bench/codec_bench.cpp. Prints raw MB/s and packed_ratio per codec.
#
# usage: bench/codec_bench.sh [--build DIR] [--size-mb 50] [--files 100]
#                             [--repetitions 5] [--no-build]
# Needs the native build configured after bench/install-bench-deps.sh
# (libzstd-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(pwd)/build
size_mb=50
files=100
repetitions=5
rebuild=1
usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --size-mb) size_mb=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --repetitions) repetitions=$2; shift 2 ;;
    --no-build) rebuild=0; shift ;;
    *) usage ;;
  esac
done
if [ $rebuild -eq 1 ]; then
  cmake --build "$build" --target codec_bench >/dev/null
fi
bench=$(find "$build" -name codec_bench -type f -perm -u+x | head -n 1)
[ -n "$bench" ] || { echo "no codec_bench in $build: install libzstd-dev (bench/install-bench-deps.sh) and configure again" >&2; exit 1; }

work=$(mktemp -d /tmp/autoupdate-codec.XXXXXX)
trap 'rm -rf "$work"' EXIT
python3 bench/patch_data.py text "$work/text" "$size_mb" "$files"
echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" "$work/text" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
