#!/usr/bin/env bash
# Installs what building, running and testing Parcelwise needs on Debian 12, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev
          clang libclang-rt-14-dev xvfb xauth imagemagick socat fonts-dejavu-core
          python3-pyftpdlib nginx-light openssl desktop-file-utils libglib2.0-bin qt6-svg-dev rsync ccache
          pkg-config libminiupnpc-dev libssl-dev python3-openssl vsftpd)
missing=()
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    # The tests start their own FTP and web servers on loopback; no system-wide server may be
    # left running on port 80 after the package is installed.
    policy=/usr/sbin/policy-rc.d
    restore_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
        $SUDO chmod +x "$policy"
        restore_policy=1
    fi
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
    if [ -n "$restore_policy" ]; then $SUDO rm -f "$policy"; fi
fi
# A web server started by an earlier install would hold port 80; the tests never use it.
if [ -e /run/nginx.pid ] && kill -0 "$(cat /run/nginx.pid)" 2>/dev/null; then
    $SUDO nginx -s quit 2>/dev/null || true
fi
