#!/usr/bin/env bash
# Runs the end-to-end tests (CTest label e2e) N times in a sanitizer build
# while busy loops keep every core loaded, and prints how often each test
# failed. A test that waits on the wall clock instead of an event fails here.
# Usage: scripts/flake_check.sh N [BUILD_DIR=build-asan]
#   scripts/flake_check.sh 10              # after scripts/test.sh built build-asan
#   scripts/flake_check.sh 1 build         # the normal build, once
# The output of every failed run is kept in BUILD_DIR/flake-check/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:?usage: scripts/flake_check.sh N [BUILD_DIR]}"
build_dir="${2:-build-asan}"
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "flake_check: N must be a positive number" >&2; exit 2; }
if [ ! -f "$build_dir/CTestTestfile.cmake" ]; then
    echo "flake_check: no build in $build_dir (scripts/test.sh builds build-asan)" >&2
    exit 2
fi
jobs="$(nproc)"
# Four tests per core, as scripts/test.sh runs them.
test_jobs=$((jobs * 4))
out="$build_dir/flake-check"
rm -rf "$out"
mkdir -p "$out"

# The load: one busy loop per core, as long as the runs last.
load=()
stop_load() {
    for pid in "${load[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop_load EXIT
for ((c = 0; c < jobs; ++c)); do
    yes >/dev/null &
    load+=("$!")
done

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
failed_runs=0
for ((i = 1; i <= runs; ++i)); do
    start=$SECONDS
    if ctest --test-dir "$build_dir" -L e2e -j"$test_jobs" --output-on-failure >"$out/run-$i.log" 2>&1; then
        echo "run $i of $runs: passed ($((SECONDS - start)) s)"
        rm -f "$out/run-$i.log"
    else
        failed_runs=$((failed_runs + 1))
        # LastTestsFailed.log holds "number:name" for each test that failed.
        cut -d: -f2- "$build_dir/Testing/Temporary/LastTestsFailed.log" >>"$out/failures"
        echo "run $i of $runs: $(wc -l <"$build_dir/Testing/Temporary/LastTestsFailed.log") failed" \
             "($((SECONDS - start)) s, output in $out/run-$i.log)"
    fi
done

echo "== failures per test over $runs runs with $jobs cores loaded =="
if [ -s "$out/failures" ]; then
    sort "$out/failures" | uniq -c | sort -rn | awk -v n="$runs" '{c = $1; $1 = ""; printf "%3d of %d %s\n", c, n, $0}'
else
    echo "none"
fi
[ "$failed_runs" -eq 0 ]
