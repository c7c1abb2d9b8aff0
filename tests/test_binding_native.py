"""The binding layer's internals (call frame, deferred releases, module_add, error values), driven through tests/native/binding_selftest.cpp."""

import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

NATIVE = Path(__file__).resolve().parent / "native"


def run_checked(cmd):
    result = subprocess.run(list(map(str, cmd)), capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="session")
def selftest(tmp_path_factory):
    missing = [tool for tool in ("cmake", "g++") if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"building the native self-test needs {' and '.join(missing)} on PATH")
    build = tmp_path_factory.mktemp("binding-native")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    run_checked(["cmake", "-S", NATIVE, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Debug",
                 f"-DPython_EXECUTABLE={sys.executable}"])
    run_checked(["cmake", "--build", build, "--target", "binding_selftest", "-j", "2"])
    return build / "binding_selftest"


def run(exe, *args):
    env = {**os.environ, "RUST_BACKTRACE": "0"}
    return subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, env=env, timeout=120)


def panic_messages(stderr):
    return re.findall(r"panicked at [^\n]*\n([^\n]*)\n", stderr)


def test_frame_outcomes(selftest):
    result = run(selftest, "frames")
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "error builtins.ValueError('bad',) depth=0",
        "value value 7 depth=0",
        "panic-text pyo3_runtime.PanicException('text message',) depth=0",
        "panic-static pyo3_runtime.PanicException('static text',) depth=0",
        "panic-other pyo3_runtime.PanicException('panic from Rust code',) depth=0",
        "exec-ok 0 none depth=0",
        "exec-error -1 builtins.KeyError('k',) depth=0",
        "exec-panic -1 pyo3_runtime.PanicException('exec failed',) depth=0",
        "inner pyo3_runtime.PanicException('inner',)",
        "nested value 3 depth=0",
        "depths 1 2 1",
    ])
    assert panic_messages(result.stderr) == ["text message", "static text", "Box<dyn Any>", "exec failed", "inner"]


def test_deferred_releases_run_at_next_frame_entry_in_order(selftest):
    result = run(selftest, "releases")
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "deferred []", "inside [1, 2]", "immediate [1, 2, 3]", "entry value None depth=0",
        "again value None depth=0", "final [1, 2, 3]",
    ])


def test_panicking_deallocation_is_reported_unraisable(selftest):
    result = run(selftest, "dealloc")
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "returned depth=0 pending=none",
        "released [5]",
        "hooked [\"pyo3_runtime.PanicException('dealloc failed',) object=None\"]",
    ])


@pytest.mark.parametrize("depth,message", [
    (-1, "Attaching a thread to the interpreter is prohibited while a __traverse__ implementation is running."),
    (-2, "Attaching a thread to the interpreter is currently prohibited."),
], ids=["traversal", "prohibited"])
def test_entry_with_negative_depth_aborts(selftest, depth, message):
    result = run(selftest, "depth", depth)
    assert result.returncode == -signal.SIGABRT
    assert result.stdout == ""
    assert panic_messages(result.stderr) == [message, "uncaught panic at ffi boundary"]


def test_module_add_and_exec(selftest):
    result = run(selftest, "modules")
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "fresh 0 none depth=0",
        "  __all__=['X'] X=set",
        "listed 0 none depth=0",
        "  __all__=['X', 'X'] X=set",
        "tuple -1 builtins.TypeError(\"'tuple' object is not an instance of 'list'\",) depth=0",
        "  __all__=('a',) X=unset",
        "lookup-fails -1 builtins.KeyError('__all__',) depth=0",
        "  __all__=missing X=unset",
        "setattr-fails -1 builtins.ValueError('X',) depth=0",
        "  __all__=['X'] X=unset",
        "exec-int -1 builtins.TypeError(\"'int' object is not an instance of 'module'\",) depth=0",
        "exec-null -1 builtins.SystemError('attempted to fetch exception but none was set',) depth=0",
        "exec-null-pending -1 builtins.ValueError('pending',) depth=0",
        "exec-module 0 none depth=0",
        "  __all__=['QuorDict'] same-class=1",
    ])


def debug_quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def test_error_values(selftest):
    traceback = ('Traceback (most recent call last):\n  File "<string>", line 3, in <module>\n'
                 '  File "<string>", line 2, in f\n')
    result = run(selftest, "errors")
    assert (result.returncode, result.stdout.splitlines()) == (0, [
        "plain PyErr { type: <class 'ValueError'>, value: ValueError('x'), traceback: None }",
        "traceback PyErr { type: <class 'ValueError'>, value: ValueError('x\"y'), traceback: Some("
        + debug_quoted(traceback) + ") }",
        "maker-int builtins.TypeError('exceptions must derive from BaseException',)",
        "maker-5 builtins.TypeError('exceptions must derive from BaseException',)",
        "maker-KeyError builtins.KeyError('x',)",
        "fetch-nothing builtins.SystemError('attempted to fetch exception but none was set',)",
        "wrap-subclass same=1",
        "  __main__.Sub('sub message',)",
        "wrap-exact builtins.TypeError(\"argument 'fill': 'None' is not an instance of 'float'\",)",
    ])



def test_to_dict_hashes_its_keys_itself_where_it_can_compute_the_interpreters_hash(selftest):
    # With a fixed, non-zero key: a hasher that mistook the key or the
    # algorithm would fail its check against the interpreter and switch off.
    env = {**os.environ, "PYTHONHASHSEED": "3141592653"}
    result = subprocess.run([str(selftest), "str-hasher"], capture_output=True, text=True, env=env, timeout=120)
    vector, caches = (int(field.split("=")[1]) for field in result.stdout.split())
    assert result.returncode == 0 and caches == (vector and sys.version_info < (3, 13))


def test_construction_reads_keys_ahead_in_the_dicts_of_interpreters_whose_walk_waits_on_them(selftest):
    # A dict layout that no longer matched would switch the read-ahead off
    # and only slow construction down: the switch is what is tested.
    result = run(selftest, "read-ahead")
    assert (result.returncode, result.stdout) == (0, f"reads={int(sys.version_info < (3, 13))}\n")
