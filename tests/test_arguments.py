"""Argument parsing, float and instance conversions, the argument-name prefix, the order of checks, and shared borrows."""

import ctypes
import math
import struct
import sys
from collections import OrderedDict
from types import MappingProxyType

import pytest

from interpreter_texts import float_conversion_error
from quorvex import QuorDict

SCALAR = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]
ALIGNED = ["add", "subtract", "multiply", "divide"]
EXCLUSIVE = (1 << 64) - 1
P = QuorDict({"a": 1.0, "b": 2.0})
Q = QuorDict({"b": 10.0})


def flag(d):
    # borrow_flag follows the 16-byte object header and the two storage pointers.
    return ctypes.c_size_t.from_address(id(d) + 32)


@pytest.fixture(autouse=True)
def flags_end_at_zero():
    yield
    assert (flag(P).value, flag(Q).value) == (0, 0)


class Outer:
    class Inner:
        pass


class Floaty:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Indexy:
    def __index__(self):
        return 7


class IntSub(int):
    # Unlike a float subclass, an int subclass converts through its __float__.
    def __float__(self):
        return 0.5


class FloatSub(float):
    # The interpreter reads a float subclass's own value and never calls this.
    def __float__(self):
        return 99.0


def raises(call, exc_type=TypeError):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is exc_type
    return caught.value


@pytest.mark.parametrize("name", SCALAR)
def test_scalar_method_messages(name):
    method = getattr(P, name)
    assert raises(lambda: method(1.0, 2.0)).args == (f"QuorDict.{name}() takes 1 positional arguments but 2 were given",)
    assert raises(lambda: method()).args == (f"QuorDict.{name}() missing 1 required positional argument: 'value'",)
    assert raises(lambda: method(1.0, value=1.0)).args == (f"QuorDict.{name}() got multiple values for argument 'value'",)
    assert raises(lambda: method(valu=1.0)).args == (f"QuorDict.{name}() got an unexpected keyword argument 'valu'",)


@pytest.mark.parametrize("name", ALIGNED)
def test_aligned_method_messages(name):
    method = getattr(P, name)
    full = f"QuorDict.{name}()"
    assert raises(lambda: method(Q, 1.0, 2.0)).args == (f"{full} takes from 1 to 2 positional arguments but 3 were given",)
    assert raises(lambda: method(fill=1.0)).args == (f"{full} missing 1 required positional argument: 'other'",)
    assert raises(lambda: method(Q, other=Q)).args == (f"{full} got multiple values for argument 'other'",)
    assert raises(lambda: method(Q, 1.0, fill=1.0)).args == (f"{full} got multiple values for argument 'fill'",)
    assert raises(lambda: method(Q, fil=0.0)).args == (f"{full} got an unexpected keyword argument 'fil'",)


@pytest.mark.parametrize("call,message", [
    (lambda: P.add(fil=0.0), "QuorDict.add() got an unexpected keyword argument 'fil'"),
    (lambda: P.add(Q, zz=1, other=Q), "QuorDict.add() got an unexpected keyword argument 'zz'"),
    (lambda: P.add(Q, other=Q, zz=1), "QuorDict.add() got multiple values for argument 'other'"),
    (lambda: P.add(Q, 1.0, 2.0, zz=1), "QuorDict.add() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: P.add_scalar(**{"value\0": 1.0}), "QuorDict.add_scalar() got an unexpected keyword argument 'value\0'"),
    (lambda: P.add_scalar(**{"välue": 1.0}), "QuorDict.add_scalar() got an unexpected keyword argument 'välue'"),
    (lambda: P.add_scalar(**{"\udc80": 1}), "QuorDict.add_scalar() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (lambda: P.add(None, "x"), "argument 'other': 'None' is not an instance of 'QuorDict'"),
    (lambda: P.add({}), "argument 'other': 'dict' object is not an instance of 'QuorDict'"),
    (lambda: P.add(Outer.Inner()), "argument 'other': 'Outer.Inner' object is not an instance of 'QuorDict'"),
    (lambda: P.add(Q, None), "argument 'fill': must be real number, not NoneType"),
    (lambda: P.multiply_scalar("2"), "argument 'value': must be real number, not str"),
    (lambda: P.reset(Floaty("x")), "argument 'value': " + str(float_conversion_error(Floaty("x")))),
    (lambda: QuorDict(), "QuorDict.__new__() missing 1 required positional argument: 'dict'"),
    (lambda: QuorDict({}, {}), "QuorDict.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: QuorDict({}, dict={}), "QuorDict.__new__() got multiple values for argument 'dict'"),
    (lambda: QuorDict(dic={}), "QuorDict.__new__() got an unexpected keyword argument 'dic'"),
    (lambda: QuorDict(**{"\ud800x": 1}), "QuorDict.__new__() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'"),
    (lambda: QuorDict([]), "argument 'dict': 'list' object is not an instance of 'dict'"),
    (lambda: QuorDict(None), "argument 'dict': 'None' is not an instance of 'dict'"),
    (lambda: QuorDict(MappingProxyType({})), "argument 'dict': 'mappingproxy' object is not an instance of 'dict'"),
    (lambda: QuorDict({1: 2.0}), "'int' object is not an instance of 'str'"),
    (lambda: QuorDict({"a": "x"}), "must be real number, not str"),
], ids=["unexpected-before-missing", "first-failing-keyword-wins", "duplicate-before-later-keyword",
        "too-many-before-keywords", "keyword-with-nul", "non-ascii-keyword", "lone-surrogate-vector",
        "other-before-fill", "other-dict", "other-qualname", "fill-none", "value-str", "float-returns-str",
        "new-missing", "new-too-many", "new-duplicate", "new-unexpected", "lone-surrogate-tuple", "new-list",
        "new-none", "new-mappingproxy", "new-key-unprefixed", "new-value-unprefixed"])
def test_failure_messages(call, message):
    assert raises(call).args == (message,)


def test_keywords_fill_their_parameters():
    assert QuorDict(dict={"x": 2.0}).to_dict == {"x": 2.0}
    assert QuorDict(OrderedDict(x=3.0)).to_dict == {"x": 3.0}
    assert P.add(fill=5.0, other=Q).to_dict == {"a": 6.0, "b": 12.0}
    assert P.subtract(Q, fill=0.5).to_dict == {"a": 0.5, "b": -8.0}
    assert P.divide_scalar(value=4.0).to_dict == {"a": 0.25, "b": 0.5}
    assert P.add(P).to_dict == {"a": 2.0, "b": 4.0}


@pytest.mark.parametrize("given,expected", [
    (2.5, 2.5), (-1.0, -1.0), (-0.0, -0.0), (math.inf, math.inf), (math.nan, math.nan), (2, 2.0), (-1, -1.0), (True, 1.0), (False, 0.0),
    (2 ** 53 + 1, 9007199254740992.0), (Floaty(3.5), 3.5), (Floaty(-1.0), -1.0), (Indexy(), 7.0),
    (FloatSub(4.25), 4.25), (IntSub(3), 0.5),
], ids=["float", "float-minus-one", "negative-zero", "inf", "nan", "int", "int-minus-one", "true", "false", "int-rounded",
        "dunder-float", "dunder-float-minus-one", "dunder-index", "float-subclass", "int-subclass"])
def test_float_conversion(given, expected):
    for result in (P.reset(given), QuorDict({"a": 1.0}).multiply(Q, fill=given)):
        assert struct.pack("<d", result.to_dict["a"]) == struct.pack("<d", expected)


@pytest.mark.parametrize("error", [ValueError("v"), type("TypeSub", (TypeError,), {})("t"), ZeroDivisionError()],
                         ids=["value-error", "type-error-subclass", "zero-division"])
def test_non_type_errors_pass_unchanged(error):
    assert raises(lambda: P.add_scalar(Floaty(error)), type(error)) is error
    assert raises(lambda: P.add(Q, fill=Floaty(error)), type(error)) is error


def test_overflow_passes_unprefixed():
    assert raises(lambda: P.add_scalar(10 ** 400), OverflowError).args == ("int too large to convert to float",)


@pytest.mark.parametrize("cause", [None, KeyError("k")], ids=["no-cause", "with-cause"])
def test_exact_type_error_is_wrapped_with_its_cause(cause):
    inner = TypeError("bad")
    inner.__cause__ = cause
    wrapped = raises(lambda: P.add_scalar(Floaty(inner)))
    assert wrapped is not inner and wrapped.args == ("argument 'value': bad",)
    assert wrapped.__cause__ is cause and wrapped.__suppress_context__ is True


def test_foreign_receiver_is_refused_by_the_descriptor():
    assert raises(lambda: QuorDict.add_scalar(1, 2.0)).args == (
        "descriptor 'add_scalar' for 'builtins.QuorDict' objects doesn't apply to a 'int' object",)
    assert raises(lambda: vars(QuorDict)["to_dict"].__get__(1)).args == (
        "descriptor 'to_dict' for 'builtins.QuorDict' objects doesn't apply to a 'int' object",)


RECEIVER_CALLS = [(name, lambda d, n=name: getattr(d, n)(1.0)) for name in SCALAR] + \
                 [(name, lambda d, n=name: getattr(d, n)(Q)) for name in ALIGNED] + \
                 [("sum", lambda d: d.sum()), ("product", lambda d: d.product()), ("to_dict", lambda d: d.to_dict)]


@pytest.mark.parametrize("call", [call for _, call in RECEIVER_CALLS], ids=[name for name, _ in RECEIVER_CALLS])
def test_exclusively_borrowed_receiver_is_refused(call):
    flag(P).value = EXCLUSIVE
    try:
        assert raises(lambda: call(P), RuntimeError).args == ("Already mutably borrowed",)
        assert flag(P).value == EXCLUSIVE
    finally:
        flag(P).value = 0


def test_parsing_and_receiver_before_arguments():
    flag(P).value = EXCLUSIVE
    try:
        assert raises(lambda: P.add_scalar()).args == ("QuorDict.add_scalar() missing 1 required positional argument: 'value'",)
        assert raises(lambda: P.add_scalar("x"), RuntimeError).args == ("Already mutably borrowed",)
        assert raises(lambda: P.add(None, "x"), RuntimeError).args == ("Already mutably borrowed",)
    finally:
        flag(P).value = 0


@pytest.mark.parametrize("name", ALIGNED)
def test_exclusively_borrowed_other_is_a_panic(name):
    references = sys.getrefcount(Q)
    flag(Q).value = EXCLUSIVE
    try:
        with pytest.raises(BaseException) as info:
            getattr(P, name)(Q)
        caught = info.value
        assert (type(caught).__module__, type(caught).__name__) == ("pyo3_runtime", "PanicException")
        assert caught.args == ("Already mutably borrowed: PyBorrowError",)
        assert flag(Q).value == EXCLUSIVE and flag(P).value == 0
        assert raises(lambda: getattr(P, name)(Q, "x")).args == ("argument 'fill': must be real number, not str",)
    finally:
        flag(Q).value = 0
    del caught, info
    assert sys.getrefcount(Q) == references


def test_borrows_during_conversion_of_fill():
    seen = []

    class Probe:
        def __float__(self):
            seen.append((flag(P).value, flag(Q).value))
            seen.append(Q.add(P, fill=Floaty(2.0)).to_dict)
            seen.append((flag(P).value, flag(Q).value))
            return 3.0

    assert P.add(Q, fill=Probe()).to_dict == {"a": 4.0, "b": 12.0}
    assert seen == [(1, 0), {"b": 12.0}, (1, 0)]
