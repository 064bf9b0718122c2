#!/usr/bin/env bash
# Sets up (scripts/setup.sh), then runs the C++ suites and the Python suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
venv=${TAVLO_VENV:-.venv}
cpp_build=${TAVLO_CPP_BUILD:-build/cpp}
export PATH="$PWD/$venv/bin:$PATH"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$cpp_build" -G Ninja -DTAVLO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$cpp_build"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "C++ build failed" >&2
    exit 1
fi
if ! ctest --test-dir "$cpp_build" --output-on-failure -j2 >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
fi
grep -E 'tests passed' "$log"

"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
