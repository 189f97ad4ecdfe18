#!/usr/bin/env bash
# Installs what only the hand-run benchmarks need (bench/throughput.sh,
# bench/patch_bench.sh (rsync and gzip to compare with) and the
# OpenSSL side of md5_bench): an HTTP server and client to compare against,
# OpenSSL's headers, zstd's for bench/codec_bench.sh, GNU time, and perf to
# profile update-server under bench/server_load. Debian packages only; run as root.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for pkg in nginx curl libssl-dev libzstd-dev time python3 coreutils rsync gzip linux-perf; do
  have "$pkg" || need+=("$pkg")
done

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${need[*]}; run this script as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# The Debian package would start a system-wide nginx listening on port 80 of
# every address; the bench runs its own on a loopback port, so services stay
# down while installing.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  made_policy=1
fi
trap 'if [ $made_policy -eq 1 ]; then rm -f "$policy"; fi' EXIT
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
