#!/usr/bin/env bash
# Installs what the native build, the Windows cross build, the Wine tests, the HTTP
# mirror tests (nginx, curl) and the Debian package's check (dpkg-shlibdeps, file,
# systemd-analyze, adduser) need, skipping everything that is already present.
# Debian packages only.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for pkg in cmake g++ ninja-build pkg-config libxml2-dev zlib1g-dev libssl-dev libmicrohttpd-dev googletest libgtest-dev \
           libbenchmark-dev g++-mingw-w64-i686 libz-mingw-w64-dev wine wine32:i386 \
           xvfb xauth imagemagick xdotool fonts-wqy-microhei python3 python3-yaml prometheus locales rsync clang \
           libclang-rt-14-dev dpkg-dev file systemd adduser haproxy nginx-light curl libcurl4-openssl-dev; do
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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
# prometheus is here for its promtool (the alert-rule tests); its own server
# must not start on a build machine, so no package may start a service while
# installing, and prometheus's is disabled after.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
fi
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
if [[ " ${need[*]} " == *" prometheus "* ]]; then
  if command -v systemctl >/dev/null; then
    systemctl disable prometheus.service >/dev/null 2>&1 || true
    [ ! -d /run/systemd/system ] || systemctl stop prometheus.service || true
  else
    update-rc.d prometheus disable >/dev/null 2>&1 || true
  fi
fi
# Debian's haproxy and nginx packages start a system-wide balancer and web server;
# the tests start their own on loopback with configurations of their own, so those
# services are stopped and left disabled (only when this script installed them).
for pair in haproxy:haproxy nginx-light:nginx; do
  package=${pair%%:*} service=${pair#*:}
  [[ " ${need[*]} " == *" $package "* ]] || continue
  if [ -d /run/systemd/system ]; then
    systemctl disable --now "$service.service" >/dev/null 2>&1 || true
  elif [ -x "/etc/init.d/$service" ]; then
    "/etc/init.d/$service" stop >/dev/null 2>&1 || true
    update-rc.d "$service" disable >/dev/null 2>&1 || true
  fi
done
