#!/usr/bin/env bash
# CI check: a short coverage-guided fuzzing run of fuzz/fuzz_quordict.py,
# starting from the saved regression inputs; fails on the first wrong outcome,
# crash or hang (a failing input is printed, to be kept under
# fuzz/corpus-regressions/).
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"
seconds="${QUORVEX_FUZZ_SECONDS:-60}"

# Pinned: the newest atheris has no wheel for Python 3.11.
python3 -m pip install -q --disable-pip-version-check "atheris==3.0.0"
if ! python3 -c "import quorvex" 2>/dev/null; then
    cmake -S "$root" -B "$root/build/fuzz" -G Ninja >/dev/null
    ninja -C "$root/build/fuzz" -j2 >/dev/null
    export PYTHONPATH="$root/build/fuzz${PYTHONPATH:+:$PYTHONPATH}"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/found"
cp "$root"/fuzz/corpus-regressions/* "$work/corpus/" 2>/dev/null || true

status=0
RUST_BACKTRACE=0 python3 "$root/fuzz/fuzz_quordict.py" "$work/corpus" -max_total_time="$seconds" -timeout=10 \
    -artifact_prefix="$work/found/" -print_final_stats=1 >"$work/log" 2>&1 || status=$?
grep -E "^(stat::number_of_executed_units|stat::new_units_added|Done)" "$work/log" || true
if [ "$status" -ne 0 ]; then
    grep -v -E "^#[0-9]+" "$work/log" | tail -n 40
    for input in "$work"/found/*; do
        [ -e "$input" ] && echo "40-fuzz: failing input $(basename "$input"): $(od -An -tx1 -v "$input" | tr -d ' \n')"
    done
    exit 1
fi
echo "40-fuzz: no finding in ${seconds} s"
