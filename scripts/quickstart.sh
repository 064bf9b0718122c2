#!/usr/bin/env bash
# A newcomer's first command: set up (scripts/setup.sh), then characterise the built-in NMOS, size a
# transistor for gm/Id = 15 and 100 µA, and write the table and the gm/Id charts to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
venv=${TAVLO_VENV:-.venv}
"$venv/bin/python" examples/quickstart.py "$@"
