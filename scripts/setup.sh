#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then
# configures and builds into the folder given (default: build).
# Usage: [EXTRA_PACKAGES="..."] scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libjsoncpp-dev libboost-dev libboost-date-time-dev
          libcli11-dev libsqlite3-dev libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev
          socat clang libmosquitto-dev mosquitto mosquitto-clients openssl
          # smdgw --http (Boost.Beast, OpenSSL for TLS), and what its tests
          # check it with: cpp-httplib's client (with the zlib and brotli its
          # pkg-config file names), promtool, a headless browser driven over
          # the DevTools protocol.
          libssl-dev libcpp-httplib-dev zlib1g-dev libbrotli-dev prometheus chromium
          python3 python3-websocket
          # smdgw --snmp-agentx: net-snmp's agent library, and the snmpd,
          # snmptrapd and command-line tools its tests run on loopback.
          libsnmp-dev snmpd snmptrapd snmp
          # The fleet's central consumer and what its test writes to; the
          # outbox's full-disk test mounts a tmpfs in a namespace of its own.
          python3-paho-mqtt influxdb util-linux)
# shellcheck disable=SC2206
packages+=(${EXTRA_PACKAGES:-})
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
ninja -C "$build_dir" -j"$(nproc)"
