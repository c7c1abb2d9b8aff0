"""Panics at the Python boundary: the PanicException class, panics resumed from Python code, panic reports, and objects that cannot be displayed."""

import ctypes
import os
import re
import subprocess
import sys

import pytest

import quorvex
from quorvex import QuorDict

EXCLUSIVE = (1 << 64) - 1
BORROW_PANIC = "Already mutably borrowed: PyBorrowError"
HEADER = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
          "Python stack trace below:\n")
P = QuorDict({"a": 1.0})
Q = QuorDict({"a": 2.0})


def flag(d):
    return ctypes.c_size_t.from_address(id(d) + 32)


def borrow_panic():
    """Provokes a panic in the module (a refused borrow of `other`) and returns the exception."""
    flag(Q).value = EXCLUSIVE
    try:
        with pytest.raises(BaseException) as caught:
            P.add(Q)
    finally:
        flag(Q).value = 0
    return caught.value


@pytest.fixture(scope="module")
def PanicException():
    return type(borrow_panic())


def test_panic_exception_class(PanicException):
    assert (PanicException.__module__, PanicException.__name__) == ("pyo3_runtime", "PanicException")
    assert PanicException.__bases__ == (BaseException,) and not issubclass(PanicException, Exception)
    assert PanicException.__doc__ == (
        "\nThe exception raised when Rust code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")
    assert len(PanicException.__doc__) == 235
    assert set(vars(PanicException)) == {"__module__", "__doc__", "__weakref__"}
    assert "pyo3_runtime" not in sys.modules and "PanicException" not in vars(quorvex)


def test_every_panic_uses_the_same_class(PanicException):
    raised = borrow_panic()
    assert type(raised) is PanicException
    assert raised.args == (BORROW_PANIC,) and str(raised) == BORROW_PANIC


def raiser(dunder):
    """A class whose `dunder` raises the exception its instance was made with."""
    def method(self):
        raise self.error
    return type(dunder.strip("_").title() + "Raiser", (), {"__init__": lambda self, error: setattr(self, "error", error),
                                                          dunder: method})


Floaty, Indexy, Unprintable = raiser("__float__"), raiser("__index__"), raiser("__str__")


class Holder:
    # Nested so that the type's __qualname__ differs from the __name__ that the fallback text shows.
    class UnprintableName(str):
        def __str__(self):
            raise self.error


def keyword_named(error):
    name = Holder.UnprintableName("zz")
    name.error = error
    return {name: 1.0}


PATHS = {
    "value-float": lambda e: P.add_scalar(Floaty(e)),
    "fill-float": lambda e: P.add(Q, fill=Floaty(e)),
    "value-index": lambda e: P.reset(Indexy(e)),
    "dict-value": lambda e: QuorDict({"a": Floaty(e)}),
    "keyword-str": lambda e: P.add_scalar(**keyword_named(e)),
    "inner-error-str": lambda e: P.add_scalar(Floaty(TypeError(Unprintable(e)))),
}


@pytest.mark.parametrize("path", PATHS.values(), ids=PATHS.keys())
def test_panic_from_python_is_resumed(PanicException, path, capfd, monkeypatch):
    monkeypatch.delattr(sys, "last_value", raising=False)
    raised = PanicException("raised in Python")
    with pytest.raises(BaseException) as caught:
        path(raised)
    assert type(caught.value) is PanicException and caught.value is not raised
    assert caught.value.args == ("raised in Python",)
    assert flag(P).value == flag(Q).value == 0 and not hasattr(sys, "last_value")
    err = capfd.readouterr().err
    assert err.startswith(HEADER) and err.count(HEADER) == 1
    assert re.search(r"\nTraceback \(most recent call last\):\n.*\npyo3_runtime\.PanicException: raised in Python\n$",
                     err, re.S)


def test_panic_exception_subclass_is_an_ordinary_error(PanicException, capfd):
    raised = type("Sub", (PanicException,), {})("not resumed")
    with pytest.raises(BaseException) as caught:
        P.add_scalar(Floaty(raised))
    assert caught.value is raised and capfd.readouterr().err == ""


def test_unprintable_panic_from_python(PanicException, capfd):
    with pytest.raises(BaseException) as caught:
        P.add_scalar(Floaty(PanicException(Unprintable(ValueError("no text")))))
    assert type(caught.value) is PanicException
    assert caught.value.args == ("Unwrapped panic from Python code",)
    assert capfd.readouterr().err.startswith(HEADER)


def test_panic_inside_a_nested_call_is_resumed_by_the_outer_call(PanicException, capfd):
    seen = []

    class Nested:
        def __float__(self):
            seen.append((P.add_scalar(1.0).to_dict, flag(P).value))
            flag(Q).value = EXCLUSIVE
            try:
                P.add(Q)
            finally:
                flag(Q).value = 0

    with pytest.raises(BaseException) as caught:
        P.multiply_scalar(Nested())
    assert type(caught.value) is PanicException and caught.value.args == (BORROW_PANIC,)
    assert seen == [({"a": 2.0}, 1)] and flag(P).value == flag(Q).value == 0
    assert capfd.readouterr().err.count(HEADER) == 1


@pytest.mark.parametrize("path,shown,object_type", [
    (lambda e: P.add_scalar(**keyword_named(e)),
     "QuorDict.add_scalar() got an unexpected keyword argument '<unprintable UnprintableName object>'",
     Holder.UnprintableName),
    (lambda e: P.add_scalar(Floaty(TypeError(Unprintable(e)))), "argument 'value': <unprintable TypeError object>",
     TypeError),
], ids=["keyword-name", "inner-type-error"])
def test_unprintable_objects_go_to_the_unraisable_hook(monkeypatch, path, shown, object_type):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    error = ValueError("str failed")
    with pytest.raises(TypeError) as caught:
        path(error)
    assert caught.value.args == (shown,)
    assert len(reports) == 1 and reports[0].exc_value is error and type(reports[0].object) is object_type


REPORT_SCRIPT = f"""
import ctypes, quorvex
p, q = quorvex.QuorDict({{"a": 1.0}}), quorvex.QuorDict({{"a": 2.0}})
ctypes.c_size_t.from_address(id(q) + 32).value = {EXCLUSIVE}
try:
    p.add(q)
except BaseException as e:
    print(type(e).__name__, e)
"""
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


@pytest.mark.parametrize("setting,with_note", [(None, True), ("0", True), ("1", False), ("full", False)],
                         ids=["unset", "zero", "one", "full"])
def test_panic_report(setting, with_note):
    env = {k: v for k, v in os.environ.items() if k != "RUST_BACKTRACE"}
    env["PYTHONPATH"] = os.path.dirname(quorvex.__file__)
    if setting is not None:
        env["RUST_BACKTRACE"] = setting
    result = subprocess.run([sys.executable, "-c", REPORT_SCRIPT], capture_output=True, text=True, env=env, timeout=60)
    assert (result.returncode, result.stdout) == (0, f"PanicException {BORROW_PANIC}\n")
    report = re.search(r"panicked at \S+:\d+:\d+:\n" + re.escape(BORROW_PANIC) + r"\n(.*)", result.stderr, re.S)
    assert report is not None
    if with_note:
        assert report.group(1) == NOTE
    else:
        assert NOTE not in result.stderr and "backtrace" in report.group(1) and report.group(1).count("\n") >= 2
