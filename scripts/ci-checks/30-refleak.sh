#!/usr/bin/env bash
# CI check: leaks, three ways. References, object blocks and heap bytes per
# operation under the debug interpreter (scripts/refleak.sh); memcheck over
# every operation (scripts/valgrind.sh); a million construct/derive/drop
# cycles with the resident set kept flat (scripts/soak.py). Fails on any
# finding.
set -euo pipefail
cd "$(dirname "$0")/../.."

started=$SECONDS
bash scripts/refleak.sh
echo "30-refleak: refleak.sh done at $((SECONDS - started)) s"
bash scripts/valgrind.sh
echo "30-refleak: valgrind.sh done at $((SECONDS - started)) s"
# The module valgrind.sh has just built (optimised, with debug information).
PYTHONPATH="$PWD/build/valgrind" RUST_BACKTRACE=0 python3 scripts/soak.py
echo "30-refleak: done in $((SECONDS - started)) s"
