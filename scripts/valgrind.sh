#!/usr/bin/env bash
# Runs the operation catalogue of scripts/refleak_workload.py once under
# valgrind's memcheck and fails on any leak or memory error that has a frame
# of the quorvex module in its stack.
#
#   scripts/valgrind.sh                  # one pass over every operation
#   scripts/valgrind.sh --passes 3       # arguments go to the workload
#   QUORVEX_VALGRIND_BUILD=DIR           # build directory (default build/valgrind)
#
# The interpreter keeps much of its own memory until exit, and memcheck
# reports it; only records that quorvex's code took part in count here.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${QUORVEX_VALGRIND_BUILD:-$root/build/valgrind}"
python="$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))')"

if ! command -v valgrind >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    "$python" -m pip install -q cmake ninja
fi

started=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" -j2 >/dev/null
echo "valgrind: built $build in $((SECONDS - started)) s"

memcheck() {  # memcheck XML_FILE WORKLOAD_ARGUMENTS...
    local xml="$1"
    shift
    PYTHONMALLOC=malloc PYTHONPATH="$build" RUST_BACKTRACE=0 valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect --num-callers=64 \
        --xml=yes --xml-file="$xml" \
        "$python" "$root/scripts/refleak_workload.py" "$@"
}

judge() {  # judge XML_FILE: exit status 1 when a record has a quorvex frame
    "$python" - "$1" <<'PY'
import sys
import xml.etree.ElementTree as ET

tree = ET.parse(sys.argv[1])
ours, others, lost = [], 0, {}
for error in tree.getroot().iter("error"):
    kind = error.findtext("kind")
    frames = error.findall("./stack/frame")
    module_frames = [f for f in frames if "quorvex" in (f.findtext("obj") or "")]
    if kind.startswith("Leak_"):
        size = int(error.findtext("./xwhat/leakedbytes") or 0)
        key = ("module" if module_frames else "interpreter", kind)
        lost[key] = lost.get(key, 0) + size
    if module_frames:
        ours.append(error)
    else:
        others += 1
for (owner, kind), size in sorted(lost.items()):
    print(f"valgrind: {kind} {size} bytes ({owner})")
for error in ours:
    what = error.findtext("what") or error.findtext("./xwhat/text")
    print(f"valgrind: {error.findtext('kind')}: {what}")
    for frame in error.findall("./stack/frame")[:16]:
        print(f"    {frame.findtext('fn') or '?'} ({frame.findtext('file') or frame.findtext('obj') or '?'}:"
              f"{frame.findtext('line') or ''})")
print(f"valgrind: {len(ours)} record(s) with quorvex frames, {others} without")
sys.exit(1 if ours else 0)
PY
}

# The setup must see an instance that is never freed, with its storage.
memcheck "$build/planted.xml" --smoke --passes 1 --only new-empty --plant-leak >/dev/null
if judge "$build/planted.xml" >/dev/null; then
    echo "valgrind: a planted leak of an instance was not reported; the setup is broken" >&2
    exit 2
fi
echo "valgrind: a planted leak was reported, as it must be"

started=$SECONDS
memcheck "$build/memcheck.xml" --smoke --passes 1 "$@"
echo "valgrind: memcheck run took $((SECONDS - started)) s"
judge "$build/memcheck.xml"
