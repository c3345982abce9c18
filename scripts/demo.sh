#!/usr/bin/env bash
# The main job: builds the gateway and the simulator, joins them with a
# pseudo-terminal pair and lets smdgw follow a live simulated plant for a few
# rounds, with faults that raise alarms and later clear them. No hardware and
# no configuration needed. Extra arguments go to smdgw (e.g. --format json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

tmp="$(mktemp -d)"
socat_pid=""
cleanup() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

# Two pseudo-terminals joined like a null-modem cable: the plant on one end,
# the gateway on the other.
socat pty,raw,echo=0,link="$tmp/plant" pty,raw,echo=0,link="$tmp/gateway" &
socat_pid=$!
for _ in $(seq 200); do
    [ -e "$tmp/plant" ] && [ -e "$tmp/gateway" ] && break
    sleep 0.05
done

rounds=8
echo "smdgw follows a simulated plant for $rounds rounds (driver log: build/demo-driver.log)"
build/smdgw --config examples/demo.json --port "$tmp/gateway" --format text \
    --count "$rounds" --log build/demo-driver.log "$@" &
gateway_pid=$!
build/powersim --port "$tmp/plant" --realtime --time-scale 3 --interval 1 --rounds "$rounds" \
    --fault breaker-trip:1@3-5 --fault fuse:2:3@4-6 --fault module-fault:7@5
wait "$gateway_pid"
