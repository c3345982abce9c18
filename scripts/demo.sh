#!/usr/bin/env bash
# The main job: builds the gateway and the simulator, joins them with a
# pseudo-terminal pair and lets smdgw follow a live simulated plant for a few
# rounds, with faults that raise alarms and later clear them. No hardware and
# no configuration needed. Extra arguments go to smdgw (e.g. --format json).
# With --master first, smdgw is the only master on the line and polls the
# plant itself (powersim --respond), with the same faults coming and going.
set -euo pipefail
master=0
if [ "${1:-}" = "--master" ]; then
    master=1
    shift
fi
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
faults=(--fault breaker-trip:1@3-5 --fault fuse:2:3@4-6 --fault module-fault:7@5)
if [ "$master" = 1 ]; then
    echo "smdgw polls a simulated plant as master for $rounds rounds" \
        "(driver log: build/demo-driver.log)"
    build/powersim --port "$tmp/plant" --respond --rounds 0 --realtime --time-scale 3 \
        "${faults[@]}" 2>"$tmp/powersim.err" &
    plant_pid=$!
    status=0
    build/smdgw --config examples/demo-master.json --port "$tmp/gateway" --format text \
        --count "$rounds" --time-scale 3 --stats-interval 0 --log build/demo-driver.log "$@" \
        || status=$?
    kill "$plant_pid" 2>/dev/null || true
    wait "$plant_pid" 2>/dev/null || true
    exit "$status"
fi
echo "smdgw follows a simulated plant for $rounds rounds (driver log: build/demo-driver.log)"
build/smdgw --config examples/demo.json --port "$tmp/gateway" --format text \
    --count "$rounds" --log build/demo-driver.log "$@" &
gateway_pid=$!
build/powersim --port "$tmp/plant" --realtime --time-scale 3 --interval 1 --rounds "$rounds" \
    "${faults[@]}"
wait "$gateway_pid"
