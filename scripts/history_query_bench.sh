#!/usr/bin/env bash
# What one history GET costs the gateway over a long history: 100,000 stored
# rounds of one device, then the ordinary one-field query over the whole
# range and the same query with one field named 1,600 times. Prints each
# answer's time and size and the gateway's resident memory when idle and at
# its peak (VmHWM), and the stored rounds the queries read (from /metrics).
#
#   BUILD_DIR=build scripts/history_query_bench.sh
#   ROUNDS=20000 BUILD_DIR=build scripts/history_query_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
rounds="${ROUNDS:-100000}"
for tool in curl sqlite3 socat; do
    command -v "$tool" >/dev/null || { echo "history_query_bench: $tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

socat pty,raw,echo=0,link="$work/plant" pty,raw,echo=0,link="$work/gateway" &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/gateway" ] && break; sleep 0.05; done
echo '{"devices":[{"name":"plant1","data_id":418,"address":1}]}' >"$work/gateway.json"

start_gateway() {
    "$build/smdgw" --config "$work/gateway.json" --plugin "$build/libveltra_quelm_k418t_419.so" \
        --port "$work/gateway" --log /dev/null --http 127.0.0.1:0 --history "$work/h.db" \
        >/dev/null 2>"$work/err" &
    gateway=$!
    pids+=("$gateway")
    port=""
    for _ in $(seq 200); do
        port="$(sed -n 's|.*serving http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/err" | head -n 1)"
        [ -n "$port" ] && break
        sleep 0.05
    done
    [ -n "$port" ] || { echo "history_query_bench: smdgw did not serve:" >&2; cat "$work/err" >&2; exit 1; }
}

# The gateway creates the file; the rounds go in beside it, all at once.
start_gateway
kill "$gateway"; wait "$gateway" 2>/dev/null || true
sqlite3 "$work/h.db" <<SQL
WITH RECURSIVE n(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM n WHERE k + 1 < $rounds)
INSERT INTO history (device, data_id, time, record, complete, ac_fresh, rectifiers_fresh, dc_fresh)
SELECT 'plant1', 418, CAST(strftime('%s','now') AS INTEGER) - 2 * $rounds + 2 * k, zeroblob(2704), 1, 1, 1, 1 FROM n;
SQL
start_gateway

rss() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$gateway/status"; }
echo "== one history GET over $rounds stored rounds =="
echo "idle: VmRSS $(rss VmRSS) KiB"
many="dc.v"
for _ in $(seq 1599); do many="$many,dc.v"; done
for fields in dc.v "$many"; do
    label="fields=dc.v"
    [ "$fields" = dc.v ] || label="fields=dc.v x1600"
    curl -sS -o "$work/body" -w "$label: %{http_code} in %{time_total} s, %{size_download} bytes" \
        "http://127.0.0.1:$port/api/v1/devices/plant1/history?since=0&fields=$fields"
    echo ", then VmRSS $(rss VmRSS) KiB, peak VmHWM $(rss VmHWM) KiB"
done
curl -sS "http://127.0.0.1:$port/metrics" | grep '^smdgw_http_history_rows_read_total'
