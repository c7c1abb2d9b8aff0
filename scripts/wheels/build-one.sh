#!/usr/bin/env bash
# Builds this tree's wheel for one interpreter, from the tree's root:
#   scripts/wheels/build-one.sh PYTHON OUT_DIR
# The compiler is $CXX (else CMake's default) with its shared libstdc++, the
# same toolchain and exception runtime as a source install; the only difference
# is glibc_baseline.h, which pins the glibc symbol versions that would otherwise
# tie the wheel to the build machine's newer glibc.
set -euo pipefail
python="$1"
out="$2"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
# A build tree of its own: CMake reads CXXFLAGS only when it first configures.
CXXFLAGS="-include $PWD/scripts/wheels/glibc_baseline.h" \
    "$work/venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    --config-settings=build-dir="$work/build" --wheel-dir "$out" .
