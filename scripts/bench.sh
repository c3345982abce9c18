#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench), runs them and prints every
# figure next to its target. Extra arguments go to the benchmark program, e.g.
#   scripts/bench.sh --benchmark_repetitions=5
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench
jobs="${JOBS:-$(nproc)}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSMD_BUILD_TESTS=OFF \
      -DSMD_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j"$jobs" smd_bench smdgw mkcapture veltra_quelm_k418t_419 >/dev/null

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
echo "== figures against targets =="
jq -r --argjson rss "$rss_kib" '
  def bench($n): first(.benchmarks[] | select(.name | startswith($n)));
  def row($what; $value; $target; $ok): [$what, $value, $target, (if $ok == null then "" elif $ok then "met" else "MISSED" end)];
  (bench("BM_FrameDecoding").bytes_per_second / 1e6) as $dec |
  (bench("BM_HexOnlyBaseline").bytes_per_second / 1e6) as $hex |
  bench("BM_RoundLogDiscarded") as $null |
  bench("BM_RoundLogToFile") as $file |
  bench("BM_DriverMemory") as $mem |
  [ row("frame decoding (MB/s of wire text)"; ($dec * 10 | round / 10); ""; null),
    row("hex-only baseline (MB/s)"; ($hex * 10 | round / 10); ""; null),
    row("decoding / baseline"; ($dec / $hex * 100 | round / 100); ">= 0.5"; ($dec / $hex >= 0.5)),
    row("round, log discarded (us)"; ($null.cpu_time * 100 | round / 100); ""; null),
    row("  core fraction per line"; ($null.core_fraction); "<= 1e-5"; ($null.core_fraction <= 1e-5)),
    row("  lines one core follows"; ($null.lines_per_core | floor); ">= 100000"; ($null.lines_per_core >= 100000)),
    row("round, log to a file (us)"; ($file.cpu_time * 100 | round / 100); ""; null),
    row("  core fraction per line"; ($file.core_fraction); "<= 1e-4"; ($file.core_fraction <= 1e-4)),
    row("  lines one core follows"; ($file.lines_per_core | floor); ">= 10000"; ($file.lines_per_core >= 10000)),
    row("  log per round (lines / bytes)"; "\($file.log_lines) / \($file.log_bytes)"; ""; null),
    row("driver object, minimal entry (bytes)"; ($mem.bytes_minimal_entry | floor); "<= 16384"; ($mem.bytes_minimal_entry <= 16384)),
    row("driver object, mode 2 entry (bytes)"; ($mem.bytes_mode2_entry | floor); ""; null),
    row("smdgw, 256 devices, peak RSS (KiB)"; $rss; "< 32768"; ($rss < 32768))
  ] | .[] | @tsv' "$work/bench.json" | column -t -s $'\t'
