#!/usr/bin/env bash
# The main job: builds the gateway and the simulator (only them, in
# build-demo), joins them with a
# pseudo-terminal pair and lets smdgw follow a live simulated plant for a few
# rounds, with faults that raise alarms and later clear them. No hardware and
# no configuration needed. Extra arguments go to smdgw (e.g. --format json).
# With --master first, smdgw is the only master on the line and polls the
# plant itself (powersim --respond), with the same faults coming and going.
#
# --http: the gateway also serves its API and status page on loopback; the
# demo prints the URL and keeps the plant running until Ctrl-C, with a fault
# coming and going now and then so the page has something to show.
set -euo pipefail
master=0
if [ "${1:-}" = "--master" ]; then
    master=1
    shift
fi
cd "$(dirname "$0")/.."

http=""
args=()
for a in "$@"; do
    if [ "$a" = "--http" ]; then http=1; else args+=("$a"); fi
done

# Only what the demo runs: the plug-in, smdgw and powersim, in a folder of
# their own (the tests and benchmarks are not built, nor their tools
# installed), without optimisation or debug information: a third of the
# compile time, and a demo needs neither.
build=build-demo
SETUP_TARGETS="veltra_quelm_k418t_419 smdgw powersim" EXTRA_PACKAGES="socat" \
    scripts/setup.sh "$build" -DCMAKE_BUILD_TYPE=None -DSMD_BUILD_TESTS=OFF \
    -DSMD_BUILD_BENCH=OFF

tmp="$(mktemp -d)"
socat_pid=""
gateway_pid=""
plant_pid=""
cleanup() {
    [ -n "$plant_pid" ] && kill "$plant_pid" 2>/dev/null || true
    [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null || true
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Two pseudo-terminals joined like a null-modem cable: the plant on one end,
# the gateway on the other.
socat pty,raw,echo=0,link="$tmp/plant" pty,raw,echo=0,link="$tmp/gateway" &
socat_pid=$!
for _ in $(seq 200); do
    [ -e "$tmp/plant" ] && [ -e "$tmp/gateway" ] && break
    sleep 0.05
done

if [ -n "$http" ]; then
    port="${DEMO_HTTP_PORT:-9418}"
    echo "smdgw follows a simulated plant and serves http://127.0.0.1:$port/ (Ctrl-C ends)"
    "$build/smdgw" --config examples/demo.json --port "$tmp/gateway" --format text \
        --log "$build/demo-driver.log" --http "127.0.0.1:$port" ${args[@]+"${args[@]}"} &
    gateway_pid=$!
    # A round every 5 s; a breaker trips and a fuse blows for a while, module 7
    # fails from round 10 on, module 4 is off for a while.
    "$build/powersim" --port "$tmp/plant" --realtime --interval 5 --rounds 0 \
        --fault breaker-trip:1@3-8 --fault fuse:2:3@6-30 --fault module-fault:7@10- \
        --fault module-off:4@14-40 >/dev/null &
    plant_pid=$!
    echo "open http://127.0.0.1:$port/ in a browser; the API is at /api/v1/devices"
    wait "$gateway_pid"
    exit 0
fi

rounds=8
faults=(--fault breaker-trip:1@3-5 --fault fuse:2:3@4-6 --fault module-fault:7@5)
if [ "$master" = 1 ]; then
    echo "smdgw polls a simulated plant as master for $rounds rounds" \
        "(driver log: $build/demo-driver.log)"
    "$build/powersim" --port "$tmp/plant" --respond --rounds 0 --realtime --time-scale 3 \
        "${faults[@]}" 2>"$tmp/powersim.err" &
    plant_pid=$!
    status=0
    "$build/smdgw" --config examples/demo-master.json --port "$tmp/gateway" --format text \
        --count "$rounds" --time-scale 3 --stats-interval 0 --log "$build/demo-driver.log" ${args[@]+"${args[@]}"} \
        || status=$?
    kill "$plant_pid" 2>/dev/null || true
    wait "$plant_pid" 2>/dev/null || true
    exit "$status"
fi
echo "smdgw follows a simulated plant for $rounds rounds (driver log: $build/demo-driver.log)"
"$build/smdgw" --config examples/demo.json --port "$tmp/gateway" --format text \
    --count "$rounds" --log "$build/demo-driver.log" ${args[@]+"${args[@]}"} &
gateway_pid=$!
"$build/powersim" --port "$tmp/plant" --realtime --time-scale 3 --interval 1 --rounds "$rounds" \
    "${faults[@]}"
wait "$gateway_pid"
gateway_pid=""
