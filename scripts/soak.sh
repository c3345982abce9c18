#!/usr/bin/env bash
# Soak run: smdgw follows the simulated plant for many rounds, as fast as the
# pipe allows, with random line faults. Checks that every round that arrived
# whole was published, that smdgw's memory stays flat after warm-up, and that
# neither program crashed. Too long for CI; run by hand.
# Usage: scripts/soak.sh [ROUNDS=100000] [SEED=1] [BUILD_DIR=build]
# Environment: SOAK_FAULTS (default "--corrupt 0.01 --noise 0.01 --drop 0.01"),
#              SOAK_RSS_SLACK_KB (growth allowed after warm-up, default 512).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-100000}"
seed="${2:-1}"
build="${3:-build}"
faults="${SOAK_FAULTS:---corrupt 0.01 --noise 0.01 --drop 0.01}"
slack_kb="${SOAK_RSS_SLACK_KB:-512}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkfifo "$work/line" "$work/out"

# Published rounds, counted as smdgw writes them.
grep -c '"event":"record"' <"$work/out" >"$work/published" || true &
counter=$!
start=$(date +%s.%N)
# shellcheck disable=SC2086
"$build/powersim" --rounds "$rounds" --seed "$seed" $faults --out "$work/line" \
    --json "$work/sim.jsonl" 2>"$work/sim.err" &
sim=$!
"$build/smdgw" --config examples/gateway.json --replay "$work/line" --log /dev/null \
    >"$work/out" 2>"$work/gw.err" &
gw=$!

# VmRSS of smdgw every half second; VmHWM is its peak.
: >"$work/rss"
hwm=0
while kill -0 "$gw" 2>/dev/null; do
    if status=$(cat "/proc/$gw/status" 2>/dev/null); then
        rss=$(awk '/^VmRSS/ {print $2}' <<<"$status")
        h=$(awk '/^VmHWM/ {print $2}' <<<"$status")
        [ -n "$rss" ] && echo "$rss" >>"$work/rss"
        [ -n "$h" ] && hwm=$h
    fi
    sleep 0.5
done
gw_status=0
wait "$gw" || gw_status=$?
sim_status=0
wait "$sim" || sim_status=$?
wait "$counter" || true
end=$(date +%s.%N)

expected=$(grep -c '"published":true' "$work/sim.jsonl" || true)
whole=$(grep -c '"intact":true' "$work/sim.jsonl" || true)
simulated=$(wc -l <"$work/sim.jsonl")
published=$(cat "$work/published")
samples=$(wc -l <"$work/rss")
# Warm-up: the first tenth of the samples, and at least the first two seconds.
warm=$(((samples + 9) / 10))
[ "$warm" -ge 4 ] || warm=4
[ "$warm" -le "$samples" ] || warm=$samples
rss_warm=$(sed -n "${warm}p" "$work/rss")
rss_after_max=$(tail -n +"$warm" "$work/rss" | sort -n | tail -1)
rss_end=$(tail -1 "$work/rss")
growth=$((rss_after_max - rss_warm))

printf 'rounds simulated        %s (seed %s, faults: %s)\n' "$simulated" "$seed" "$faults"
printf 'rounds arrived whole    %s\n' "$whole"
printf 'rounds to be published  %s\n' "$expected"
printf 'rounds published        %s\n' "$published"
printf 'wall time               %.1f s\n' "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
printf 'smdgw RSS after warm-up %s kB, highest after %s kB, at end %s kB, peak (VmHWM) %s kB\n' \
    "$rss_warm" "$rss_after_max" "$rss_end" "$hwm"
printf 'exit status             smdgw %s, powersim %s\n' "$gw_status" "$sim_status"

fail=0
[ "$gw_status" -eq 0 ] && [ "$sim_status" -eq 0 ] || { echo "soak: a program failed"; fail=1; }
[ "$simulated" -eq "$rounds" ] || { echo "soak: the simulator stopped early"; fail=1; }
[ "$published" -eq "$expected" ] || { echo "soak: published $published, expected $expected"; fail=1; }
[ "$growth" -le "$slack_kb" ] || { echo "soak: memory grew by $growth kB after warm-up"; fail=1; }
[ "$fail" -eq 0 ] && echo "soak: passed"
exit "$fail"
