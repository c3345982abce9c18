#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build in which every sanitizer error is fatal.
# Then a ThreadSanitizer build of the live-record stress test, and, where
# clang++ is installed, each fuzz target for a bounded time (label fuzz).
# Warnings stop these builds (-DSMD_WERROR=ON); a user's own build only warns.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
# Line tables only (-g1): sanitizer reports and backtraces still name file and
# line, and the builds compile about a third faster than with full debug
# information, which is most of this script's time.
lines=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
       -DCMAKE_CXX_FLAGS_DEBUG="-g1" -DCMAKE_C_FLAGS_DEBUG="-g1")

echo "== build and test (RelWithDebInfo) =="
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMD_WERROR=ON "${lines[@]}"
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) =="
scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSMD_SANITIZE=ON -DSMD_BUILD_BENCH=OFF \
    -DSMD_WERROR=ON "${lines[@]}"
ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure

echo "== live record stress test (ThreadSanitizer) =="
scripts/setup.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMD_TSAN=ON -DSMD_WERROR=ON "${lines[@]}"
ctest --test-dir build-tsan -L tsan --output-on-failure

if command -v clang++ >/dev/null; then
    echo "== fuzz targets (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) =="
    scripts/setup.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSMD_FUZZ=ON -DSMD_WERROR=ON -DSMD_FUZZ_SECONDS=10 "${lines[@]}"
    ctest --test-dir build-fuzz -L fuzz -j"$jobs" --output-on-failure
else
    echo "== fuzz targets skipped: clang++ not installed (apt-get install clang) =="
fi
