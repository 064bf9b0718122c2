#!/usr/bin/env bash
# Runs the C++ suites of the pool, the worker and the frame reader under AddressSanitizer with
# UBSan, then under ThreadSanitizer: the pool's teardown, cancellation and time-out paths are
# where concurrency faults hide. Expects scripts/setup.sh to have run (CI runs it first).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TAVLO_VENV:-.venv}
export PATH="$PWD/$venv/bin:$PATH"
# Asio 1.22 allocates coroutine frames with one operator and frees them with another.
export ASAN_OPTIONS=${ASAN_OPTIONS:-alloc_dealloc_mismatch=0:detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
filter='Pool.*:Queue.*:Protocol.*:Callbacks.*:Netlist.*'

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for kind in address thread; do
    dir=build/sanitize-$kind
    if ! { cmake -S . -B "$dir" -G Ninja -DTAVLO_BUILD_TESTS=ON -DTAVLO_SANITIZE=$kind \
               -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
           cmake --build "$dir" --target tavlo_tests; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "sanitize: $kind build failed" >&2
        exit 1
    fi
    if ! "$dir/tavlo_tests" --gtest_filter="$filter" >"$log" 2>&1; then
        cat "$log" >&2
        echo "sanitize: the $kind-sanitized suites failed" >&2
        exit 1
    fi
    echo "sanitize ($kind): $(grep -E '^\[  PASSED  \]' "$log")"
done
