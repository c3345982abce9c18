#!/usr/bin/env bash
# Builds and runs every test twice: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build in which every sanitizer error is fatal.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

echo "== build and test (RelWithDebInfo) =="
scripts/setup.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build -j"$jobs" --output-on-failure

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) =="
scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DSMD_SANITIZE=ON -DSMD_BUILD_BENCH=OFF
ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    ctest --test-dir build-asan -j"$jobs" --output-on-failure
