#!/usr/bin/env bash
# CI check: QuorDict instances on Dask's distributed scheduler (scripts/dask_check.py):
# partitions of a keyed dataset become instances in local worker processes, are added
# together across workers, and must match plain Python bit for bit. Loopback only; the
# job is bounded by a timeout. Installs the project and Dask into a venv of its own.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 -m venv "$work/venv"
# Pinned: a new Dask release may change how a job is scheduled or serialised.
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$root" "dask[distributed]==2026.11.0"

# Run from outside the source tree, so the installed module is the one imported.
cd "$work"
timeout 600 "$work/venv/bin/python" "$root/scripts/dask_check.py"
