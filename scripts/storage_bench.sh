#!/usr/bin/env bash
# Bytes smdgw writes to storage per round on a live pseudo-terminal line, for
# the packaged unit's defaults and for each output (bench/storage_io.py says
# how). Builds smdgw and powersim in build-bench (Release) first. Extra
# arguments go to the script, e.g.
#   scripts/storage_bench.sh --rounds 60 --time-scale 1   # a real line, slowly
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench

# socat joins the pseudo-terminals, mosquitto is the broker of the --mqtt run.
EXTRA_PACKAGES="socat mosquitto libbenchmark-dev python3" \
    SETUP_TARGETS="smdgw powersim veltra_quelm_k418t_419" \
    scripts/setup.sh "$build" -DCMAKE_BUILD_TYPE=Release -DSMD_BUILD_TESTS=OFF \
    -DSMD_BUILD_BENCH=ON >/dev/null

python3 bench/storage_io.py --smdgw "$build/smdgw" --powersim "$build/powersim" \
    --plugin "$build/libveltra_quelm_k418t_419.so" --config examples/demo.json \
    --rounds 40 --time-scale 8 "$@"
