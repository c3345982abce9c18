#!/usr/bin/env bash
# What one site's gateway sends to the broker in a day, for each record
# setting (--mqtt-payload full or compact, --mqtt-record-interval 0 or 60):
# a plant of 40 modules and two DC panels replayed on its line time (9600
# baud, --clock-start), with a breaker trip raised and cleared now and then;
# the messages stay in the outbox (no broker) and are counted there. Bytes
# are topic, payload and MQTT framing (PUBLISH header and packet ID, the
# PUBACK); TLS and TCP come on top. The figures of docs/fleet.md come from here.
# Usage: scripts/mqtt_uplink_bytes.sh [ROUNDS=600] [BUILD_DIR=build]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-600}"
build="${2:-build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$build/powersim" --out "$work/sim.cap" --rounds "$rounds" --modules 40 --panels 2 --seed 7 \
    --fault breaker-trip:1@100-130 --fault breaker-trip:2@400-420 2>/dev/null
closed="mqtt://127.0.0.1:9"  # the discard port: nothing listens, nothing is sent

printf '%-8s %-9s %9s %11s %13s %13s\n' payload interval messages "bytes/msg" "bytes/day" "MB/day"
for payload in full compact; do
    for interval in 0 60; do
        db="$work/$payload-$interval.db"
        "$build/smdgw" --config examples/demo.json --replay "$work/sim.cap" --log /dev/null \
            --clock-start 2026-01-01T00:00:00Z --mqtt "$closed" --mqtt-outbox "$db" \
            --mqtt-payload "$payload" --mqtt-record-interval "$interval" >/dev/null 2>&1
        /usr/bin/python3 - "$db" "$payload" "$interval" <<'EOF'
import sqlite3, sys
from datetime import datetime
db, payload, interval = sys.argv[1:]
c = sqlite3.connect(db)
rows = c.execute("SELECT length(CAST(target AS BLOB)), length(CAST(payload AS BLOB)), "
                 "json_extract(payload, '$.time') FROM mqtt_outbox").fetchall()
times = sorted(datetime.fromisoformat(t).timestamp() for _, _, t in rows if t)
# The span of line time the run covered: first to last message, and one round more.
records = c.execute("SELECT json_extract(payload, '$.time') FROM mqtt_outbox "
                    "WHERE target LIKE '%/record' ORDER BY id").fetchall()
span = times[-1] - times[0]
# MQTT framing per QoS 1 message: PUBLISH fixed header (up to 4 length
# bytes), topic length, packet ID; PUBACK 4 bytes.
framing = 1 + 3 + 2 + 2 + 4
total = sum(t + p + framing for t, p, _ in rows)
per_day = total / span * 86400
print(f"{payload:<8} {interval + ' s':<9} {len(rows):>9} {total / len(rows):>11.0f} "
      f"{per_day:>13.0f} {per_day / 1e6:>13.1f}")
EOF
    done
done
# The round period on the line, for the arithmetic of docs/fleet.md.
/usr/bin/python3 - "$work/sim.cap" "$rounds" <<'EOF'
import os, sys
size = os.path.getsize(sys.argv[1])
rounds = int(sys.argv[2])
print(f"line: {size / rounds:.0f} bytes a round, one round every {size / rounds / 960:.2f} s at 9600 baud")
EOF
