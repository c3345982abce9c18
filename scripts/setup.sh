#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then
# configures and builds into the folder given (default: build).
# Usage: [EXTRA_PACKAGES="..."] [SETUP_TARGETS="..."] scripts/setup.sh [BUILD_DIR] [cmake arguments...]
# With SETUP_TARGETS only those targets are built and only the packages that
# building them needs are installed (the demo: the plug-in, smdgw, powersim);
# configure such a build with -DSMD_BUILD_TESTS=OFF -DSMD_BUILD_BENCH=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the plug-in, smdgw and powersim are built from (OpenSSL for the TLS of
# smdgw --http and the webhooks' signatures, net-snmp's agent library for
# smdgw --snmp-agentx, libcurl for the notifications' mail and webhooks,
# libmodbus for the answers of smdgw --modbus-listen).
build_packages=(cmake ninja-build g++ pkg-config libjsoncpp-dev libboost-dev libboost-date-time-dev
                libcli11-dev libsqlite3-dev libsystemd-dev libmosquitto-dev libssl-dev
                libsnmp-dev libcurl4-openssl-dev libmodbus-dev)
# What the tests and benchmarks are built and checked with: the test
# frameworks, socat and a broker, clang for the fuzz targets, cpp-httplib's
# client (with the zlib and brotli its pkg-config file names), promtool, a
# headless browser driven over the DevTools protocol (with a CJK font, so that
# its screenshots show the alarm names); the fleet's central consumer and the
# InfluxDB its test writes to, and the fleet's engines its tests start and
# check the shipped files with (VictoriaMetrics with vmalert, Alertmanager with
# amtool); util-linux, whose unshare gives the outbox's
# full-disk test a tmpfs in a namespace of its own; the snmpd, snmptrapd and
# command-line tools the SNMP tests run on loopback; upsc and upsmon
# (nut-client), the NUT server's clients; mbpoll, the Modbus TCP server's
# master; ccache, which
# scripts/test.sh shares between its four builds and between clones, and mold,
# the linker the builds take when it is installed.
test_packages=(ccache mold libgtest-dev libgmock-dev libbenchmark-dev socat clang mosquitto
               mosquitto-clients openssl libcpp-httplib-dev zlib1g-dev libbrotli-dev
               prometheus chromium python3 python3-websocket fonts-noto-cjk
               python3-paho-mqtt influxdb victoria-metrics prometheus-alertmanager util-linux
               snmpd snmptrapd snmp python3-aiosmtpd nut-client mbpoll)
packages=("${build_packages[@]}")
[ -n "${SETUP_TARGETS:-}" ] || packages+=("${test_packages[@]}")
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
# shellcheck disable=SC2086
ninja -C "$build_dir" -j"$(nproc)" ${SETUP_TARGETS:-}
