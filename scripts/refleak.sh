#!/usr/bin/env bash
# Builds quorvex against Debian's debug interpreter (python3.11d, which counts
# every reference) and runs scripts/refleak_workload.py under it; exits
# non-zero if any operation leaks references, object blocks or heap bytes.
#
#   scripts/refleak.sh                     # all operations
#   scripts/refleak.sh --only add_scalar   # arguments go to the workload
#   QUORVEX_REFLEAK_BUILD=DIR, QUORVEX_DEBUG_PYTHON=PATH   # defaults: build/refleak, /usr/bin/python3.11d
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${QUORVEX_REFLEAK_BUILD:-$root/build/refleak}"
debug_python="${QUORVEX_DEBUG_PYTHON:-/usr/bin/python3.11d}"

if [ ! -x "$debug_python" ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.11-dbg python3.11-dev >/dev/null
fi
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    python3 -m pip install -q cmake ninja
fi

started=$SECONDS
include="$("$debug_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
# The debug include directory holds links into the release one, so a header's
# own quoted include of pyconfig.h finds the release configuration unless the
# debug directory comes first as a plain -I: without it the module would be
# built without Py_REF_DEBUG and its references would go uncounted.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DPython_EXECUTABLE="$debug_python" -DCMAKE_CXX_FLAGS="-I$include" >/dev/null
ninja -C "$build" -j2 >/dev/null
module="$(ls "$build"/quorvex*.so)"
if ! nm -D --undefined-only "$module" | grep '_Py_RefTotal' >/dev/null; then
    echo "refleak: $module was not built against the debug headers (no _Py_RefTotal)" >&2
    exit 2
fi
echo "refleak: built $module in $((SECONDS - started)) s"

started=$SECONDS
PYTHONPATH="$build" RUST_BACKTRACE=0 "$debug_python" "$root/scripts/refleak_workload.py" "$@"
echo "refleak: workload ran in $((SECONDS - started)) s"
