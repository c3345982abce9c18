#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench), runs them and prints every
# figure next to its target. Extra arguments go to the benchmark program, e.g.
#   scripts/bench.sh --benchmark_repetitions=5
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench

# jq reads the results, GNU time measures smdgw's peak memory.
EXTRA_PACKAGES="jq time" scripts/setup.sh "$build" -DCMAKE_BUILD_TYPE=Release \
    -DSMD_BUILD_TESTS=OFF -DSMD_BUILD_BENCH=ON >/dev/null

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

echo "== benchmarks =="
"$build/smd_bench" --benchmark_out="$work/bench.json" --benchmark_out_format=json "$@"

echo
echo "== smdgw following 256 devices =="
devices=256
jq -n --argjson n "$devices" '{devices: [range(1; $n + 1) | {
        name: ("dev" + tostring), data_id: (1000 + .), address: 1,
        appSetting: {b_mode: 1, has_ac: 1, has_dc: 1}}]}' >"$work/gateway.json"
"$build/mkcapture" "$work/plant.cap" 20
# The peak resident set of the whole run (GNU time's %M, in KiB).
/usr/bin/time -f "%M" -o "$work/rss" \
    "$build/smdgw" --config "$work/gateway.json" --plugin "$build/libveltra_quelm_k418t_419.so" \
    --replay "$work/plant.cap" --log /dev/null >/dev/null
rss_kib="$(tail -n 1 "$work/rss")"
echo "peak resident memory: ${rss_kib} KiB"

echo
echo "== smdgw, the whole process: a 40-module round in mode 2, replayed =="
# Every fixed rule's level configured, JSON output to /dev/null; CPU time
# (user + system) of the whole process, start-up included, over many rounds:
# 10000 without the log (about a second: start-up and the timer's 10 ms
# steps weigh under 2 %), 2000 with it (its file grows by 88 KB a round).
rounds=10000
rounds_log=2000
mkdir -p "$work/plant"
"$build/smd_plant_files" "$work/plant" "$rounds"
cap_bytes="$(stat -c %s "$work/plant/plant.cap")"
# Every round of the plant has the same length on the wire.
head -c "$((cap_bytes / rounds * rounds_log))" "$work/plant/plant.cap" >"$work/plant/log.cap"
# One run: CPU seconds (user + system) of the whole process.
whole_process_once() {  # capture, extra smdgw arguments
    local cap="$1"
    shift
    /usr/bin/time -f "%U %S" -o "$work/cpu" \
        "$build/smdgw" --config "$work/plant/gateway.json" \
        --plugin "$build/libveltra_quelm_k418t_419.so" --replay "$cap" \
        "$@" >/dev/null
    awk '{print $1 + $2}' "$work/cpu"
}
# The median of three runs: the machine may be shared.
whole_process() {  # capture, extra smdgw arguments; prints CPU seconds
    for _ in 1 2 3; do
        whole_process_once "$@"
        rm -f "$work/driver.log"*
    done | sort -g | sed -n 2p
}
log_bytes="$(whole_process_once "$work/plant/log.cap" --log "$work/driver.log" \
    --log-max-size 0 >/dev/null && stat -c %s "$work/driver.log")"
rm -f "$work/driver.log"
cpu_log="$(whole_process "$work/plant/log.cap" --log "$work/driver.log" --log-max-size 0)"
cpu_nolog="$(whole_process "$work/plant/plant.cap")"
echo "$rounds rounds, $cap_bytes bytes of wire text"
echo "CPU seconds (median of 3): $rounds_log rounds with --log FILE $cpu_log" \
    "(driver log $log_bytes bytes), $rounds rounds without --log $cpu_nolog"

echo
echo "== Modbus TCP: 16 clients x 10 requests a second on a gateway following powersim =="
"$build/modbus_answer_bench" "$build/smdgw" "$build/powersim" \
    "$build/libveltra_quelm_k418t_419.so" 20

echo
echo "== figures against targets =="
jq -r --argjson rss "$rss_kib" --argjson rounds "$rounds" --argjson cap "$cap_bytes" \
    --argjson rounds_log "$rounds_log" \
    --argjson cpu_log "$cpu_log" --argjson cpu_nolog "$cpu_nolog" '
  # The median of repeated runs when there is one, else the single run.
  def bench($n): first((.benchmarks[] | select(.name == ($n + "_median"))),
                       (.benchmarks[] | select(.name == $n)));
  def sci: if . == 0 then "0" else (log10 | floor) as $e
           | ((. / pow(10; $e) * 100 | round) / 100 | tostring) + "e" + ($e | tostring) end;
  def r2: . * 100 | round / 100;
  def row($what; $value; $target; $ok):
    [$what, ($value | tostring), $target, (if $ok == null then "" elif $ok then "met" else "MISSED" end)];
  (bench("BM_FrameDecoding").bytes_per_second / 1e6) as $dec |
  (bench("BM_HexOnlyBaseline").bytes_per_second / 1e6) as $hex |
  bench("BM_RoundLogDiscarded") as $null |
  bench("BM_RoundLogToFile") as $file |
  bench("BM_RoundLogDroppedInProcess") as $drop |
  bench("BM_DriverMemory/iterations:1") as $mem |
  bench("BM_LineWriteDevNull").cpu_time as $wnull |
  bench("BM_LineWriteFile").cpu_time as $wfile |
  ($file.wire_bytes / 960 * 1e6) as $wire_us |
  ($cap / $rounds / 960) as $round_s |
  ($cpu_log / $rounds_log) as $log_s |
  ($cpu_nolog / $rounds) as $nolog_s |
  [ row("frame decoding (MB/s of wire text)"; ($dec | r2); ""; null),
    row("hex-only baseline (MB/s)"; ($hex | r2); ""; null),
    row("decoding / baseline"; ($dec / $hex | r2); ">= 0.5"; ($dec / $hex >= 0.5)),
    row("round, log discarded (/dev/null): CPU us"; ($null.cpu_time | r2); ""; null),
    row("  core fraction per 9600-baud line"; ($null.core_fraction | sci); "<= 1e-5"; ($null.core_fraction <= 1e-5)),
    row("  lines one core follows"; ($null.lines_per_core | floor); ">= 100000"; ($null.lines_per_core >= 100000)),
    row("round, log written to a file: CPU us"; ($file.cpu_time | r2); ""; null),
    row("  core fraction per 9600-baud line"; ($file.core_fraction | sci); "<= 1e-4"; ($file.core_fraction <= 1e-4)),
    row("  lines one core follows"; ($file.lines_per_core | floor); ">= 10000"; ($file.lines_per_core >= 10000)),
    row("round, log dropped in the process: CPU us"; ($drop.cpu_time | r2); ""; null),
    row("  core fraction per 9600-baud line"; ($drop.core_fraction | sci); ""; null),
    row("log per round (lines / bytes)"; "\($file.log_lines) / \($file.log_bytes)"; ""; null),
    row("wire per round (bytes / us at 9600 baud)"; "\($file.wire_bytes) / \($wire_us | floor)"; ""; null),
    row("write(2) of one line, /dev/null (ns)"; ($wnull | r2); ""; null),
    row("  floor: lines x write, us per round"; ($file.log_lines * $wnull / 1000 | r2); "budget \($wire_us * 1e-5 | r2)"; null),
    row("write(2) of one line, file (ns)"; ($wfile | r2); ""; null),
    row("  floor: lines x write, us per round"; ($file.log_lines * $wfile / 1000 | r2); "budget \($wire_us * 1e-4 | r2)"; null),
    row("driver object, minimal entry (bytes)"; ($mem.bytes_minimal_entry | floor); "<= 16384"; ($mem.bytes_minimal_entry <= 16384)),
    row("driver object, mode 2 entry (bytes)"; ($mem.bytes_mode2_entry | floor); ""; null),
    row("smdgw, 256 devices, peak RSS (KiB)"; $rss; "< 32768"; ($rss < 32768)),
    row("smdgw process, round on the line (bytes x 10 / 9600, ms)"; ($round_s * 1e3 | r2); ""; null),
    row("smdgw process, --log FILE: CPU us per round"; ($log_s * 1e6 | r2); ""; null),
    row("  share of the round time on the line"; ($log_s / $round_s | sci); "<= 1e-4"; ($log_s / $round_s <= 1e-4)),
    row("smdgw process, no --log: CPU us per round"; ($nolog_s * 1e6 | r2); ""; null),
    row("  share of the round time on the line"; ($nolog_s / $round_s | sci); "<= 2e-5"; ($nolog_s / $round_s <= 2e-5))
  ] | .[] | @tsv' "$work/bench.json" | column -t -s $'\t'
