#!/usr/bin/env bash
# Builds quorvex with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the pytest suite against that build; exits non-zero on any sanitizer report.
#
#   scripts/sanitize.sh                 # the whole suite (QUORVEX_SLOW tests skip as usual)
#   scripts/sanitize.sh tests/test_x.py -k name   # arguments go to pytest
#   QUORVEX_ASAN_BUILD=DIR scripts/sanitize.sh    # build directory (default build/asan)
#
# The interpreter is not instrumented, so libasan (and libubsan) are preloaded
# into it, and PYTHONMALLOC=malloc sends every object allocation through the
# sanitizer's malloc. Leaks are judged in the pytest process, where the tests
# drive the module. Python child processes of the tests run under the same
# sanitizers without the leak check, since a child may import third-party
# extension modules (numpy, pandas) that keep memory until exit; other
# programs the tests start (compilers, native test binaries) run without the
# preload, as they are not what is under test. Tests can tell the run by
# QUORVEX_SANITIZER being set.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${QUORVEX_ASAN_BUILD:-$root/build/asan}"
reports="$build/reports"
python="$(python3 -c 'import os, sys; print(os.path.realpath(sys.executable))')"

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    "$python" -m pip install -q cmake ninja
fi
"$python" -c 'import pytest' 2>/dev/null || "$python" -m pip install -q pytest

started=$SECONDS
cmake -S "$root" -B "$build" -G Ninja -DQUORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" >/dev/null
ninja -C "$build" -j2 >/dev/null
echo "sanitize: built $build in $((SECONDS - started)) s"

preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
for library in $preload; do
    [ -e "$library" ] || { echo "sanitize: $library not found" >&2; exit 2; }
done
rm -rf "$reports" && mkdir -p "$reports"

# Runs pytest after making sure the module under test is the sanitized build;
# child processes get the environment described at the top.
bootstrap='
import os, shutil, subprocess, sys
import quorvex
build = os.environ["QUORVEX_ASAN_BUILD_DIR"]
if not os.path.realpath(quorvex.__file__).startswith(build + os.sep):
    sys.exit(f"sanitize: imported {quorvex.__file__}, not the build in {build}")
interpreter = os.path.realpath(sys.executable)

def runs_this_python(args, executable, shell):
    if shell:
        return False
    program = executable if executable is not None else (
        args if isinstance(args, (str, bytes, os.PathLike)) else args[0])
    program = os.fsdecode(program)
    return os.path.realpath(shutil.which(program) or program) == interpreter

class Popen(subprocess.Popen):
    def __init__(self, args, *rest, executable=None, shell=False, env=None, **options):
        env = dict(os.environ if env is None else env)
        if runs_this_python(args, executable, shell):
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        else:
            env.pop("LD_PRELOAD", None)
        super().__init__(args, *rest, executable=executable, shell=shell, env=env, **options)

subprocess.Popen = Popen

# numpy and pandas (peers in the benchmarks, which some tests import) keep
# objects they make at import until exit, unreachable; fast unwinding cannot
# see past the interpreter to tell them from those of quorvex, so their imports
# run with leak tracking off. What they allocate afterwards is tracked.
import ctypes, importlib
sanitizer = ctypes.CDLL(None)
for name in ("numpy", "pandas"):
    sanitizer.__lsan_disable()
    try:
        importlib.import_module(name)
    except ImportError:
        pass
    finally:
        sanitizer.__lsan_enable()

import pytest
sys.exit(pytest.main(["-p", "no:cacheprovider", *sys.argv[1:]]))
'

sanitized() {  # sanitized REPORT_DIR COMMAND...
    local into="$1"
    shift
    env LD_PRELOAD="$preload" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:log_path=$into/asan" \
        LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$into/ubsan" \
        QUORVEX_SANITIZER=address,undefined \
        QUORVEX_ASAN_BUILD_DIR="$build" \
        PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
        RUST_BACKTRACE=0 \
        "$@"
}

# The setup must see a leak of the module's storage: an instance whose
# reference count is raised by hand is never freed, nor its key index.
planted="$build/planted"
rm -rf "$planted" && mkdir -p "$planted"
if sanitized "$planted" "$python" -c '
import ctypes, quorvex
instance = quorvex.QuorDict({"planted": 1.0})
ctypes.pythonapi.Py_IncRef(ctypes.py_object(instance))
' || ! cat "$planted"/asan.* 2>/dev/null | grep "in quorvex::" >/dev/null; then
    echo "sanitize: a planted leak of an instance was not reported; the setup is broken" >&2
    cat "$planted"/* >&2 || true
    exit 2
fi
echo "sanitize: a planted leak was reported, as it must be"

started=$SECONDS
status=0
sanitized "$reports" "$python" -c "$bootstrap" "${@:-tests}" || status=$?
echo "sanitize: pytest finished with status $status in $((SECONDS - started)) s"

found=0
for report in "$reports"/*; do
    [ -e "$report" ] || continue
    found=$((found + 1))
    echo "==== $report" && cat "$report"
done
echo "sanitize: $found sanitizer report file(s)"
if [ "$found" -ne 0 ] || [ "$status" -ne 0 ]; then
    exit 1
fi
