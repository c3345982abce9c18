#!/usr/bin/env bash
# The HTTP service under load: smdgw follows a live simulated plant over a
# pseudo-terminal pair (powersim at 9600 baud, a round every few seconds)
# while wrk asks /metrics and /api/v1/devices from 50 connections at once.
# Prints p50 and p99 latency and requests a second of each path, and the
# gateway's resident memory before, after and at its peak.
#
#   scripts/http_bench.sh                      # Release build in build-bench
#   BUILD_DIR=build scripts/http_bench.sh      # an existing build folder
#   CONNECTIONS=50 SECONDS_EACH=20 scripts/http_bench.sh
# wrk's connections all come from 127.0.0.1, so the per-client connection
# limit is raised to let them all in.
set -euo pipefail
cd "$(dirname "$0")/.."

connections="${CONNECTIONS:-50}"
seconds="${SECONDS_EACH:-10}"
build="${BUILD_DIR:-build-bench}"
if [ -z "${BUILD_DIR:-}" ]; then
    EXTRA_PACKAGES="wrk socat" scripts/setup.sh "$build" -DCMAKE_BUILD_TYPE=Release \
        -DSMD_BUILD_TESTS=OFF -DSMD_BUILD_BENCH=ON >/dev/null
fi
for tool in wrk socat; do
    command -v "$tool" >/dev/null || { echo "http_bench: $tool is missing (apt-get install $tool)" >&2; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A pseudo-terminal pair: the plant on one end, the gateway on the other.
socat pty,raw,echo=0,link="$work/plant" pty,raw,echo=0,link="$work/gateway" &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/gateway" ] && [ -e "$work/plant" ] && break; sleep 0.05; done

echo '{"devices":[{"name":"plant1","data_id":418,"address":1}]}' >"$work/gateway.json"
"$build/smdgw" --config "$work/gateway.json" --plugin "$build/libveltra_quelm_k418t_419.so" \
    --port "$work/gateway" --log /dev/null --http 127.0.0.1:0 \
    --http-max-per-client "$((connections + 8))" >/dev/null 2>"$work/err" &
gateway=$!
pids+=("$gateway")
port=""
for _ in $(seq 200); do
    port="$(sed -n 's|.*serving http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/err" | head -n 1)"
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "http_bench: smdgw did not serve:" >&2; cat "$work/err" >&2; exit 1; }

"$build/powersim" --port "$work/plant" --realtime --rounds 0 --interval 1 >/dev/null 2>&1 &
pids+=($!)

rounds() {  # live rounds the gateway has published so far
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET /api/v1/devices HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
    sed -n 's/.*"rounds":\([0-9]*\).*/\1/p' <&3 | head -n 1
    exec 3<&-
}
for _ in $(seq 300); do
    n="$(rounds || true)"
    [ "${n:-0}" -ge 1 ] && break
    sleep 0.1
done
[ "${n:-0}" -ge 1 ] || { echo "http_bench: no round from the plant" >&2; exit 1; }

rss_kib() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$gateway/status"; }
rss_start="$(rss_kib VmRSS)"
first_round="$(rounds)"

echo "== smdgw --http, $connections connections, ${seconds} s a path, following a live plant =="
printf '%-18s %10s %10s %12s\n' path p50 p99 requests/s
for path in /metrics /api/v1/devices; do
    wrk -t2 -c"$connections" -d"${seconds}s" --latency "http://127.0.0.1:$port$path" >"$work/wrk"
    p50="$(awk '$1 == "50%" {print $2}' "$work/wrk")"
    p99="$(awk '$1 == "99%" {print $2}' "$work/wrk")"
    rate="$(awk '$1 == "Requests/sec:" {print $2}' "$work/wrk")"
    errors="$(grep -E 'Non-2xx|Socket errors' "$work/wrk" || true)"
    printf '%-18s %10s %10s %12s\n' "$path" "$p50" "$p99" "$rate"
    [ -z "$errors" ] || echo "  $errors"
done
last_round="$(rounds)"
echo
echo "resident memory: ${rss_start} KiB before, $(rss_kib VmRSS) KiB after, peak $(rss_kib VmHWM) KiB"
echo "rounds published during the load: $((last_round - first_round))"
