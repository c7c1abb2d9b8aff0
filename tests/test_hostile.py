"""Adversarial callers: conversions that misbehave, re-enter the module or run out of stack, odd str and dict subclasses, huge numbers and a large instance; each ends in its documented result or error with no crash, the instances unchanged and every borrow flag back at 0."""

import ctypes
import importlib
import math
import os
import struct
import sys
import warnings
from pathlib import Path

import pytest

import quorvex
from interpreter_texts import float_conversion_error

QuorDict = quorvex.QuorDict
ROOT = Path(__file__).resolve().parent.parent
WORD = ctypes.sizeof(ctypes.c_size_t)
EXCLUSIVE = (1 << (8 * WORD)) - 1
SLOW = os.environ.get("QUORVEX_SLOW") == "1"


def flag(instance):
    """The borrow flag: the last machine word of the instance record."""
    return ctypes.c_size_t.from_address(id(instance) + QuorDict.__basicsize__ - WORD)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def state(instance):
    """Everything a caller can see of an instance, with floats by their bits."""
    return sorted((key, bits(value)) for key, value in instance.to_dict.items()), flag(instance).value


def panic_exception_type():
    victim = QuorDict({})
    flag(victim).value = EXCLUSIVE
    try:
        QuorDict({}).add(victim)
    except BaseException as caught:  # noqa: B036 - the class derives from BaseException only
        return type(caught)
    finally:
        flag(victim).value = 0


PanicException = panic_exception_type()


@pytest.fixture
def base():
    instance = QuorDict({"a": 1.0, "b": -2.5, "é": math.inf})
    before = state(instance)
    yield instance
    assert state(instance) == before


class Returns:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        return self.result


class IndexReturns:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class FloatSubclass(float):
    pass


# Where a number is converted, the argument name a TypeError there gets, and the
# result for a number x, from the values of the `base` fixture.
PLACES = {
    "value": (lambda d, x: d.add_scalar(x), "argument 'value': ",
              lambda x: {"a": 1.0 + x, "b": -2.5 + x, "é": math.inf + x}),
    "fill": (lambda d, x: d.add(QuorDict({}), fill=x), "argument 'fill': ",
             lambda x: {"a": 1.0 + x, "b": -2.5 + x, "é": math.inf + x}),
    "dict-value": (lambda d, x: QuorDict({"k": x}), "", lambda x: {"k": x}),
}
# Numbers whose conversion fails, and the exception type it fails with; the
# text is the interpreter's own, which differs between versions.
MISBEHAVING = {
    "float-returns-str": (Returns("1.0"), TypeError),
    "float-returns-none": (Returns(None), TypeError),
    "index-returns-str": (IndexReturns("7"), TypeError),
    "index-returns-huge": (IndexReturns(10**400), OverflowError),
    "raises-keyboard-interrupt": (Raises(KeyboardInterrupt("k")), KeyboardInterrupt),
    "raises-system-exit": (Raises(SystemExit("s")), SystemExit),
    "raises-stop-iteration": (Raises(StopIteration("i")), StopIteration),
    "raises-memory-error": (Raises(MemoryError("m")), MemoryError),
    "raises-recursion-error": (Raises(RecursionError("r")), RecursionError),
}


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("hostile, error", MISBEHAVING.values(), ids=MISBEHAVING.keys())
def test_misbehaving_number_protocols(base, place, hostile, error):
    call, prefix, _ = place
    expected = float_conversion_error(hostile)
    assert type(expected) is error
    with pytest.raises(error) as caught:
        call(base, hostile)
    assert type(caught.value) is error
    assert str(caught.value) == (prefix + str(expected) if error is TypeError else str(expected))


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
def test_float_subclass_result_under_warnings_as_errors(base, place):
    call, _, _ = place
    hostile = Returns(FloatSubclass(2.0))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        expected = float_conversion_error(hostile)
        with pytest.raises(DeprecationWarning) as caught:
            call(base, hostile)
    assert type(expected) is DeprecationWarning and "FloatSubclass" in str(expected)
    assert str(caught.value) == str(expected)


def stack_depth():
    frame, depth = sys._getframe(1), 0
    while frame is not None:
        frame, depth = frame.f_back, depth + 1
    return depth


class Nested:
    """Converts to depth + 1, by calling the module on `target` from inside its own conversion."""

    deepest_flag = None

    def __init__(self, target, depth):
        self.target, self.depth = target, depth

    def __float__(self):
        if self.depth == 0:
            Nested.deepest_flag = flag(self.target).value
            return 1.0
        return self.target.add_scalar(Nested(self.target, self.depth - 1)).add(self.target).sum() + 1.0


def test_conversions_reenter_the_module_forty_deep():
    d = QuorDict({"x": 0.0})
    result = d.add_scalar(Nested(d, 40))
    assert result.to_dict == {"x": 41.0}
    # Every enclosing add_scalar on d holds one shared borrow of it.
    assert Nested.deepest_flag == 41
    assert flag(d).value == 0 and flag(result).value == 0


@pytest.mark.parametrize("recurse", [
    lambda d, again: d.add_scalar(again),
    lambda d, again: d.add(d, fill=again),
    lambda d, again: QuorDict({"k": again}),
], ids=["through-value", "through-fill", "through-construction"])
def test_runaway_recursion_unwinds_through_every_nested_call(base, recurse):
    class Forever:
        def __float__(self):
            return recurse(base, self).sum()

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(stack_depth() + 100)
    try:
        with pytest.raises(RecursionError):
            recurse(base, Forever())
    finally:
        sys.setrecursionlimit(limit)


def test_calls_at_every_depth_near_the_recursion_limit(base):
    outcomes = []

    def at_depth(n):
        if n:
            return at_depth(n - 1)
        r = base.add(base, fill=Returns(2.0)).multiply_scalar(Returns(0.5))
        return QuorDict({"k": Returns(r.sum())}).to_dict

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(stack_depth() + 40)
    try:
        for depth in range(40):
            try:
                outcomes.append(at_depth(depth))
            except RecursionError:
                outcomes.append("RecursionError")
    finally:
        sys.setrecursionlimit(limit)
    # The sum of a + a, b + b and é + é halved: 1 - 2.5 + inf.
    assert set(map(str, outcomes)) == {"{'k': inf}", "RecursionError"}


def nested_panic(depth, message_args, target):
    class Inner:
        def __float__(self):
            if depth == 0:
                raise PanicException(*message_args)
            return nested_panic(depth - 1, message_args, target)

    return target.add_scalar(Inner()).sum()


@pytest.mark.parametrize("args, message", [
    (("deep",), "deep"),
    ((), ""),
    ((42,), "42"),
    (("a", "b"), "('a', 'b')"),
], ids=["text", "no-arguments", "int-argument", "two-arguments"])
def test_panic_raised_deep_inside_nested_conversions(base, capfd, args, message):
    with pytest.raises(PanicException) as caught:
        nested_panic(5, args, base)
    assert caught.value.args == (message,)
    # Each of the six module calls on the way out takes the exception back from Python and resumes it.
    header = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
    assert capfd.readouterr().err.count(header) == 6


class UnprintableName(str):
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("hook_raises", [False, True], ids=["hook-reenters-module", "hook-raises"])
def test_unraisable_hook_that_misbehaves(base, monkeypatch, hook_raises):
    seen = []

    def hook(unraisable):
        seen.append(unraisable.exc_type)
        d = QuorDict({"z": 2.0})
        seen.append(d.add(base, fill=3.0).multiply(d).sum())
        if hook_raises:
            raise RuntimeError("hook fails")

    monkeypatch.setattr(sys, "unraisablehook", hook)
    with pytest.raises(TypeError) as caught:
        base.add(base, **{UnprintableName("fil"): 1.0})
    assert str(caught.value) == "QuorDict.add() got an unexpected keyword argument '<unprintable UnprintableName object>'"
    assert seen == [ValueError, 10.0]


class LoudKey(str):
    """A key whose every str method but hashing and equality refuses to run."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("a str method of the key was called")

    __str__ = __repr__ = __len__ = __iter__ = __getitem__ = encode = __format__ = _refuse
    __hash__ = str.__hash__
    __eq__ = str.__eq__


class LoudDict(dict):
    """A dict whose every Python-level accessor refuses to run."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("a dict method of the source was called")

    __len__ = __iter__ = __getitem__ = __contains__ = keys = values = items = get = copy = _refuse


def test_key_and_dict_subclasses_are_read_from_their_storage():
    source = LoudDict({LoudKey("a"): 1.0, LoudKey("é\0"): 2.0, "plain": 3})
    d = QuorDict(source)
    out = d.to_dict
    assert {(type(k), k, v) for k, v in out.items()} == {(str, "a", 1.0), (str, "é\0", 2.0), (str, "plain", 3.0)}


INT_EDGES = {
    "largest-below-overflow": 2**1024 - 2**970 - 1,
    "rounds-to-overflow": 2**1024 - 2**970,
    "negative-overflow": -(2**1024),
    "above-2-53-rounds-even": 2**53 + 1,
    "googol-to-400": 10**400,
}


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("n", INT_EDGES.values(), ids=INT_EDGES.keys())
def test_huge_ints_convert_like_float(base, place, n):
    call, _, expected = place
    try:
        x = float(n)
    except OverflowError as error:
        with pytest.raises(OverflowError) as caught:
            call(base, n)
        assert type(caught.value) is OverflowError and str(caught.value) == str(error)
        return
    got = call(base, n).to_dict
    assert {k: bits(v) for k, v in got.items()} == {k: bits(v) for k, v in expected(x).items()}


def large_instance_round(n):
    source = {f"k{i}": float(i) for i in range(n)}
    d = QuorDict(source)
    # Integer partial sums below 2**53 are exact in any storage order.
    assert d.sum() == n * (n - 1) / 2
    # Built in the opposite order: a separate index, aligned by key.
    doubled = d.add(QuorDict(dict(reversed(source.items()))))
    ratio = doubled.multiply_scalar(0.5).divide(d.add_scalar(1.0))
    # v / (v + 1) grows with v, so this also checks every key kept its own value.
    assert ratio.to_dict == {k: v / (v + 1.0) for k, v in source.items()}
    assert flag(d).value == flag(doubled).value == flag(ratio).value == 0


def test_large_instance_of_a_million_keys():
    large_instance_round(10**6)


@pytest.mark.slow
@pytest.mark.skipif(not SLOW, reason="ten million keys: set QUORVEX_SLOW=1")
def test_large_instance_of_ten_million_keys():
    large_instance_round(10**7)


@pytest.fixture
def fuzz_harness(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "fuzz"))
    return importlib.import_module("fuzz_quordict")


REGRESSIONS = sorted((ROOT / "fuzz" / "corpus-regressions").glob("*"))


@pytest.mark.parametrize("path", REGRESSIONS, ids=[p.name for p in REGRESSIONS])
def test_fuzz_regression_input_replays_clean(fuzz_harness, path):
    fuzz_harness.run_input(path.read_bytes())
