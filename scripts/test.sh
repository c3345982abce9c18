#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build (with clang++ where it is installed) in
# which every sanitizer error is fatal.
# Between them a ThreadSanitizer build of the stress tests (built while the
# normal build's tests run), and at the end, where clang++ is installed, each
# fuzz target for a bounded time (label fuzz).
# Warnings stop these builds (-DSMD_WERROR=ON); a user's own build only warns.
# At the end it prints each stage's wall time and the compiler cache's hits.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
# The end-to-end tests spend most of their time waiting (on a simulated plant
# at scaled time, on sockets, on the programs they start), about a tenth of a
# core each, so the test stages run four per core; the builds and the fuzz
# targets, which keep a core busy, one.
test_jobs=$((jobs * 4))

# The compiler cache (ccache, which scripts/setup.sh installs) in the user's
# usual place, shared by every clone on this machine: paths under the clone's
# parent are hashed relative to it and the working directory is not hashed, so
# the same commit cloned into another folder compiles from the cache. Settings
# go through the environment, whatever the user's ccache.conf says.
CCACHE_BASEDIR="$(dirname "$PWD")"
export CCACHE_BASEDIR
export CCACHE_NOHASHDIR=1
# The four builds' objects come to about 0.8 GB (some 0.2 GB compressed in the
# cache); a limit under 2 GB (ccache's default is 5 GB) is raised for these
# builds, so that other projects' files do not evict one build for the next.
if command -v ccache >/dev/null; then
    limit_mb="$(ccache -k max_size | awk '{
        n = $1 + 0; u = $0; sub(/^[0-9.]+ */, "", u)
        f = 1 / 1024 / 1024
        if (u ~ /^k/) f = 1 / 1024; else if (u ~ /^M/) f = 1; else if (u ~ /^G/) f = 1024; else if (u ~ /^T/) f = 1024 * 1024
        printf "%d\n", n * f }')"
    if [ "$limit_mb" -ne 0 ] && [ "$limit_mb" -lt 2048 ]; then
        export CCACHE_MAXSIZE=2G
    fi
fi

# Each stage's wall time and compiler cache hits, printed at the end even when
# a stage fails.
stats_dir="$(mktemp -d)"
stages=()
stage_name=""
stage_start=0
stage_open=0
stage() {
    stage_name="$1"
    stage_start=$SECONDS
    stage_open=1
    export CCACHE_STATSLOG="$stats_dir/${#stages[@]}.log"
    echo "== $1 =="
}
cache_hits() {  # STATS_LOG
    [ -s "$1" ] && command -v ccache >/dev/null || return 0
    CCACHE_STATSLOG="$1" ccache --show-log-stats |
        awk '/Hits:/ { printf "%d of %d compiled from the cache (%.1f %%)", $2, $4, $4 ? 100 * $2 / $4 : 0; exit }'
}
stage_done() {
    stage_open=0
    stages+=("$(printf '%-64s %5d s  %s' "$stage_name" $((SECONDS - stage_start)) "$(cache_hits "$CCACHE_STATSLOG")")")
}
tsan_build=""
summary() {
    if [ -n "$tsan_build" ]; then kill -- -"$tsan_build" 2>/dev/null || true; fi
    echo "== wall time per stage =="
    printf '%s\n' "${stages[@]}"
    if ((stage_open)); then
        printf '%-64s %5d s  failed\n' "$stage_name" $((SECONDS - stage_start))
    fi
    cat "$stats_dir"/*.log >"$stats_dir/all" 2>/dev/null || true
    echo "all builds: $(cache_hits "$stats_dir/all")"
    rm -rf "$stats_dir"
}
trap summary EXIT
# Line tables only (-g1): sanitizer reports and backtraces still name file and
# line, and the builds compile about a third faster than with full debug
# information, which is most of this script's time.
lines=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
       -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DCMAKE_C_FLAGS_DEBUG="-g1")

stage "build (RelWithDebInfo)"
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMD_WERROR=ON "${lines[@]}"
stage_done

# The optimised build's tests leave about half of the cores idle (43 CPU
# seconds in 45 s of wall time on two cores: they wait on sockets and on
# simulated time), so the ThreadSanitizer build runs beside them, in a
# process group of its own so that a failed run stops it. Its output is shown
# when it fails.
tsan_stats="$stats_dir/tsan.log"
tsan_out="$stats_dir/tsan-build.out"
CCACHE_STATSLOG="$tsan_stats" setsid scripts/setup.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSMD_TSAN=ON -DSMD_WERROR=ON "${lines[@]}" >"$tsan_out" 2>&1 &
tsan_build=$!
stage "test (RelWithDebInfo), the ThreadSanitizer build beside it"
ctest --test-dir build -j"$test_jobs" --output-on-failure
stage_done

stage "stress tests (ThreadSanitizer): the rest of the build, and run"
export CCACHE_STATSLOG="$tsan_stats"
if ! wait "$tsan_build"; then
    tsan_build=""
    cat "$tsan_out"
    exit 1
fi
tsan_build=""
ctest --test-dir build-tsan -L tsan -j"$jobs" --output-on-failure
stage_done

# clang++ builds the sanitizer build in little over half the CPU time g++
# takes (twelve files: 18.8 against 30.0 CPU seconds; the whole build 499
# against 875), and its AddressSanitizer and UBSan are the sanitizers' own.
# The normal build stays with the compiler a user's build takes, so every
# file is built by both with warnings as errors.
asan_compiler=()
if command -v clang++ >/dev/null; then asan_compiler=(-DCMAKE_CXX_COMPILER=clang++); fi
stage "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSMD_SANITIZE=ON -DSMD_BUILD_BENCH=OFF \
    -DSMD_WERROR=ON "${asan_compiler[@]}" "${lines[@]}"
stage_done
stage "test (AddressSanitizer + UndefinedBehaviorSanitizer)"
ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir build-asan -j"$test_jobs" --output-on-failure
stage_done

if command -v clang++ >/dev/null; then
    stage "fuzz targets (libFuzzer + ASan + UBSan): build and run"
    scripts/setup.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSMD_FUZZ=ON -DSMD_WERROR=ON -DSMD_FUZZ_SECONDS=10 "${lines[@]}"
    ctest --test-dir build-fuzz -L fuzz -j"$jobs" --output-on-failure
    stage_done
else
    echo "== fuzz targets skipped: clang++ not installed (apt-get install clang) =="
fi
