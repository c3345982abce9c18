#!/usr/bin/env bash
# Years of history at scaled time (bench/history_rollup_bench.cpp): the disk
# per resolution after 400 days of a 40-module plant with the default
# retention, the roll-ups of a week against their raw rounds, chart query
# times, and what the roll-ups cost per round. Builds the bench in
# build-bench (Release) first; the database goes to /var/tmp (about 1 GB free
# needed). Extra arguments go to the bench, e.g.
#   scripts/history_bench.sh --days 30     # a quicker look
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-bench

EXTRA_PACKAGES="libbenchmark-dev" SETUP_TARGETS="history_rollup_bench" \
    scripts/setup.sh "$build" -DCMAKE_BUILD_TYPE=Release -DSMD_BUILD_TESTS=OFF \
    -DSMD_BUILD_BENCH=ON >/dev/null

"$build/history_rollup_bench" "$@"
