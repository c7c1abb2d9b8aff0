#!/usr/bin/env bash
# CI check: the arithmetic and construction tests (the element loops and
# the UTF-8 key conversions have vector kinds) once per vector loop kind. The
# module picks the widest kind the processor has; QUORVEX_DISABLE_CPU_FEATURES makes it
# skip the wider ones, so every kind this processor can run is tested here.
# Kinds the processor lacks are reported and left out. Needs quorvex installed
# in python3's environment (`python3 -m pip install ".[test]"`, as .ci/run
# does first).
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! python3 -c "import quorvex, pytest" 2>/dev/null; then
    echo "quorvex or pytest is not importable: run 'python3 -m pip install \".[test]\"' first" >&2
    exit 1
fi
flags="$(grep -m1 '^flags' /proc/cpuinfo 2>/dev/null || true)"
has() { [[ " ${flags#*:} " == *" $1 "* ]]; }

# kind, features to skip, processor flag the kind needs ("-": none)
kinds=("avx512 - avx512f" "avx2 avx512f avx2" "baseline avx2,avx512f -")
for entry in "${kinds[@]}"; do
    read -r kind skipped needed <<<"$entry"
    [[ "$skipped" == "-" ]] && skipped=""
    if [[ "$needed" != "-" ]] && ! has "$needed"; then
        echo "25-loop-kinds: $kind: not run, this processor lacks $needed"
        continue
    fi
    echo "25-loop-kinds: $kind (QUORVEX_DISABLE_CPU_FEATURES='$skipped')"
    QUORVEX_DISABLE_CPU_FEATURES="$skipped" python3 -m pytest -q -p no:cacheprovider \
        tests/test_operations.py tests/test_differential.py tests/test_nan_payloads.py tests/test_construction.py
done
