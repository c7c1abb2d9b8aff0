"""Scalar operations, reset and aligned operations: docstring examples, binary64 edges, operands, fill and arguments."""

import ast
import math

import pytest

import quorvex
from model import bits, from_bits

QuorDict = quorvex.QuorDict
SCALAR_METHODS = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]
ALIGNED_METHODS = ["add", "subtract", "multiply", "divide"]
NAN_PAYLOAD = from_bits(0x7FF800000000BEEF)
SIGNALLING_NAN = from_bits(0x7FF0000000000ABC)
NAN = object()  # expected: some NaN, payload not fixed by the operation


def docstring_examples(doc):
    """(statement, expected output or None) for each `>>>` line of a docstring."""
    lines = doc.splitlines()
    examples = []
    for i, line in enumerate(lines):
        if line.startswith(">>> "):
            following = lines[i + 1] if i + 1 < len(lines) else ""
            is_output = following and not following.startswith((">>> ", "```"))
            examples.append((line[4:], following if is_output else None))
    return examples


@pytest.mark.parametrize("name", SCALAR_METHODS + ALIGNED_METHODS + ["sum", "product", "to_dict"])
def test_docstring_examples(name):
    examples = docstring_examples(getattr(QuorDict, name).__doc__)
    assert any(expected is not None for _, expected in examples), "no checked example"
    namespace = {"qv": quorvex}
    for statement, expected in examples:
        if expected is None:
            exec(statement, namespace)
            continue
        result = eval(statement, namespace)
        wanted = ast.literal_eval(expected)
        assert type(result) is type(wanted) and result == wanted, statement


def expect_bits(actual, expected):
    if expected is NAN:
        assert math.isnan(actual), actual
    else:
        assert bits(actual) == bits(expected), (actual, expected)


def describe(x):
    if isinstance(x, float) and math.isnan(x):
        return {bits(NAN_PAYLOAD): "nan-payload", bits(SIGNALLING_NAN): "signalling-nan"}.get(bits(x), "nan")
    if x == 0 and isinstance(x, float):
        return "negative-zero" if math.copysign(1.0, x) < 0 else "zero"
    return {math.inf: "inf", -math.inf: "negative-inf"}.get(x, repr(x))


SCALAR_CASES = [
    ("add_scalar", -0.0, 0.0, 0.0),
    ("add_scalar", -0.0, -0.0, -0.0),
    ("add_scalar", math.inf, -math.inf, NAN),
    ("add_scalar", 1e308, 1e308, math.inf),
    ("add_scalar", NAN_PAYLOAD, 1.0, NAN_PAYLOAD),
    ("add_scalar", 1.0, SIGNALLING_NAN, from_bits(0x7FF8000000000ABC)),
    ("add_scalar", 1.0, True, 2.0),
    ("add_scalar", 1.0, 2**53 + 1, 9007199254740992.0),
    ("subtract_scalar", 5.0, 3.0, 2.0),
    ("subtract_scalar", -0.0, 0.0, -0.0),
    ("subtract_scalar", 0.0, 0.0, 0.0),
    ("subtract_scalar", math.inf, math.inf, NAN),
    ("multiply_scalar", math.inf, 0.0, NAN),
    ("multiply_scalar", -1.0, 0.0, -0.0),
    ("multiply_scalar", 1e-200, 1e-200, 0.0),
    ("multiply_scalar", -1e200, 1e200, -math.inf),
    ("divide_scalar", 10.0, 2.0, 5.0),
    ("divide_scalar", 1.0, 0.0, math.inf),
    ("divide_scalar", -1.0, 0.0, -math.inf),
    ("divide_scalar", 0.0, 0.0, NAN),
    ("divide_scalar", NAN_PAYLOAD, 0.0, NAN_PAYLOAD),
    ("divide_scalar", 1.0, -0.0, -math.inf),
    ("divide_scalar", -1.0, -0.0, math.inf),
    ("divide_scalar", math.inf, math.inf, NAN),
    ("divide_scalar", -1.0, math.inf, -0.0),
    ("divide_scalar", 5e-324, 2.0, 0.0),
    ("reset", 1.0, NAN_PAYLOAD, NAN_PAYLOAD),
    ("reset", 1.0, SIGNALLING_NAN, SIGNALLING_NAN),
    ("reset", math.nan, -0.0, -0.0),
    ("reset", 1.0, -math.inf, -math.inf),
    ("reset", 1.0, 10, 10.0),
]


@pytest.mark.parametrize("method, value, scalar, expected", SCALAR_CASES,
                         ids=[f"{m}-{describe(v)}-with-{describe(x)}" for m, v, x, _ in SCALAR_CASES])
def test_scalar_edge(method, value, scalar, expected):
    d = QuorDict({"k": value, "other": 1.0})
    result = getattr(d, method)(scalar)
    assert type(result) is QuorDict and set(result.to_dict) == {"k", "other"}
    expect_bits(result.to_dict["k"], expected)


MISSING = object()


@pytest.mark.parametrize(
    "method, value, other_value, fill, expected",
    [
        ("add", -0.0, MISSING, MISSING, 0.0),
        ("add", -0.0, -0.0, MISSING, -0.0),
        ("add", 1.0, MISSING, 5, 6.0),
        ("subtract", 10.0, 2.0, MISSING, 8.0),
        ("subtract", 10.0, MISSING, MISSING, 10.0),
        ("subtract", -0.0, MISSING, MISSING, -0.0),
        ("subtract", 1.0, MISSING, -math.inf, math.inf),
        ("multiply", -0.0, MISSING, MISSING, -0.0),
        ("multiply", NAN_PAYLOAD, MISSING, MISSING, NAN_PAYLOAD),
        ("multiply", -3.0, MISSING, 0.0, -0.0),
        ("multiply", math.inf, MISSING, 0.0, NAN),
        ("multiply", math.inf, 0.0, 7.0, NAN),
        ("divide", 10.0, 2.0, MISSING, 5.0),
        ("divide", 1.0, 0.0, MISSING, math.inf),
        ("divide", -1.0, 0.0, MISSING, -math.inf),
        ("divide", 0.0, 0.0, MISSING, NAN),
        ("divide", 1.0, MISSING, 0.0, math.inf),
        ("divide", -1.0, MISSING, -0.0, math.inf),
        ("divide", 0.0, MISSING, 0.0, NAN),
        ("divide", 3.0, MISSING, MISSING, 3.0),
        ("divide", 3.0, SIGNALLING_NAN, MISSING, from_bits(0x7FF8000000000ABC)),
    ],
    ids=[
        "add-default-fill-turns-negative-zero-positive", "add-present-negative-zeros", "add-int-fill",
        "subtract-operand-order", "subtract-default-fill", "subtract-default-fill-keeps-negative-zero",
        "subtract-fill-negative-inf", "multiply-default-fill-keeps-negative-zero", "multiply-default-fill-keeps-nan",
        "multiply-fill-zero-negative", "multiply-inf-by-fill-zero", "multiply-inf-by-present-zero",
        "divide-operand-order", "divide-by-present-zero", "divide-negative-by-present-zero",
        "divide-zero-by-present-zero", "divide-by-fill-zero", "divide-by-fill-negative-zero",
        "divide-zero-by-fill-zero", "divide-default-fill", "divide-by-present-signalling-nan",
    ],
)
def test_aligned_edge(method, value, other_value, fill, expected):
    other = QuorDict({} if other_value is MISSING else {"k": other_value} | {"only-in-other": 4.0})
    d = QuorDict({"k": value, "plain": 2.0})
    result = getattr(d, method)(other) if fill is MISSING else getattr(d, method)(other, fill=fill)
    assert set(result.to_dict) == {"k", "plain"}
    expect_bits(result.to_dict["k"], expected)


@pytest.mark.parametrize(
    "method, expected",
    [
        ("add", [6.0, -0.0, math.inf, -math.inf, NAN]),
        ("subtract", [0.0, 0.0, NAN, NAN, NAN]),
        ("multiply", [9.0, 0.0, math.inf, math.inf, NAN]),
        ("divide", [1.0, NAN, NAN, NAN, NAN]),
    ],
    ids=ALIGNED_METHODS,
)
def test_other_is_self(method, expected):
    values = [3.0, -0.0, math.inf, -math.inf, NAN_PAYLOAD]
    d = QuorDict({str(i): v for i, v in enumerate(values)})
    result = getattr(d, method)(d).to_dict
    for i, wanted in enumerate(expected):
        expect_bits(result[str(i)], wanted)
    assert bits(d.to_dict["4"]) == bits(NAN_PAYLOAD)


@pytest.mark.parametrize("method", ALIGNED_METHODS)
def test_keys_only_in_other_are_ignored_and_operands_unchanged(method):
    d1 = QuorDict({"a": 8.0, "b": 2.0})
    d2 = QuorDict({"b": 4.0, "c": 100.0, "": 1.0})
    result = getattr(d1, method)(d2, 3.0)
    expected_b = {"add": 6.0, "subtract": -2.0, "multiply": 8.0, "divide": 0.5}[method]
    expected_a = {"add": 11.0, "subtract": 5.0, "multiply": 24.0, "divide": 8.0 / 3.0}[method]
    assert result.to_dict == {"a": expected_a, "b": expected_b}
    assert result is not d1 and result is not d2 and type(result) is QuorDict
    assert d1.to_dict == {"a": 8.0, "b": 2.0} and d2.to_dict == {"b": 4.0, "c": 100.0, "": 1.0}


@pytest.mark.parametrize("method", ALIGNED_METHODS)
def test_empty_operands(method):
    values = {"p": 2.0, "n": -0.0, "i": math.inf}
    d = QuorDict(values)
    empty = QuorDict({})
    assert getattr(empty, method)(d).to_dict == {}
    assert getattr(empty, method)(empty, 0.0).to_dict == {}
    fill = {"add": 0.0, "subtract": 0.0, "multiply": 1.0, "divide": 1.0}[method]
    by_default = getattr(d, method)(empty).to_dict
    by_fill = getattr(d, method)(QuorDict({"x": 1.0}), fill).to_dict
    assert {k: bits(v) for k, v in by_default.items()} == {k: bits(v) for k, v in by_fill.items()}
    expect_bits(by_default["n"], 0.0 if method == "add" else -0.0)


def test_multiply_by_empty_other_with_fill_zero():
    d = QuorDict({"p": 2.0, "n": -3.0, "i": -math.inf, "q": NAN_PAYLOAD})
    result = d.multiply(QuorDict({}), fill=0.0).to_dict
    for key, expected in {"p": 0.0, "n": -0.0, "i": NAN, "q": NAN_PAYLOAD}.items():
        expect_bits(result[key], expected)


@pytest.mark.parametrize("method", SCALAR_METHODS)
def test_scalar_result_is_new_and_receiver_unchanged(method):
    d = QuorDict({"a": 1.0, "b": -0.0})
    before = {k: bits(v) for k, v in d.to_dict.items()}
    neutral = {"add_scalar": -0.0, "subtract_scalar": 0.0, "multiply_scalar": 1.0, "divide_scalar": 1.0,
               "reset": 1.0}[method]
    results = [getattr(d, method)(neutral), getattr(d, method)(value=neutral)]
    assert results[0] is not d and results[1] is not d and results[0] is not results[1]
    assert all(type(r) is QuorDict for r in results)
    assert {k: bits(v) for k, v in d.to_dict.items()} == before
    assert results[0].to_dict == results[1].to_dict


@pytest.mark.parametrize("method", ALIGNED_METHODS)
def test_fill_and_other_by_position_or_keyword(method):
    d1 = QuorDict({"a": 2.0, "b": 3.0})
    d2 = QuorDict({"b": 5.0})
    calls = [
        lambda m: m(d2, 4.0),
        lambda m: m(d2, fill=4.0),
        lambda m: m(other=d2, fill=4.0),
        lambda m: m(fill=4.0, other=d2),
        lambda m: m(d2, 4),
    ]
    results = [call(getattr(d1, method)).to_dict for call in calls]
    assert all(r == results[0] for r in results)
    assert results[0]["a"] == {"add": 6.0, "subtract": -2.0, "multiply": 8.0, "divide": 0.5}[method]


@pytest.mark.parametrize(
    "call, error_type, message",
    [
        (lambda d: d.add(d, None), TypeError, "argument 'fill': must be real number, not NoneType"),
        (lambda d: d.add(d, fill="1"), TypeError, "argument 'fill': must be real number, not str"),
        (lambda d: d.divide(d, fill=10**400), OverflowError, "int too large to convert to float"),
        (lambda d: d.add(None), TypeError, "argument 'other': 'None' is not an instance of 'QuorDict'"),
        (lambda d: d.multiply({}), TypeError, "argument 'other': 'dict' object is not an instance of 'QuorDict'"),
        (lambda d: d.subtract({}, None), TypeError,
         "argument 'other': 'dict' object is not an instance of 'QuorDict'"),
        (lambda d: d.add(5, fill="x"), TypeError, "argument 'other': 'int' object is not an instance of 'QuorDict'"),
        (lambda d: d.add_scalar("1"), TypeError, "argument 'value': must be real number, not str"),
        (lambda d: d.reset(None), TypeError, "argument 'value': must be real number, not NoneType"),
        (lambda d: d.multiply_scalar(10**400), OverflowError, "int too large to convert to float"),
    ],
    ids=[
        "fill-none-is-not-default", "fill-str", "fill-huge-int", "other-none", "other-plain-dict",
        "bad-other-and-bad-fill-reports-other", "bad-other-before-bad-fill", "value-str", "reset-none",
        "value-huge-int",
    ],
)
@pytest.mark.parametrize("source", [{"a": 1.0}, {}], ids=["filled", "empty"])
def test_argument_errors(source, call, error_type, message):
    d = QuorDict(source)
    with pytest.raises(BaseException) as excinfo:
        call(d)
    assert type(excinfo.value) is error_type and excinfo.value.args == (message,)
    assert d.to_dict == source


def test_chains_compose_and_leave_each_step_unchanged():
    d = QuorDict({"a": 1.0, "b": -2.5, "c": 0.0})
    step = d.add_scalar(1.0)
    chained = step.multiply_scalar(2.0)
    assert chained.to_dict == {"a": 4.0, "b": -3.0, "c": 2.0}
    assert step.to_dict == {"a": 2.0, "b": -1.5, "c": 1.0} and d.to_dict == {"a": 1.0, "b": -2.5, "c": 0.0}
    mixed = d.add(step).subtract(d, fill=100.0).divide(step.reset(2.0)).multiply(chained)
    assert mixed.to_dict == {"a": 4.0, "b": 2.25, "c": 1.0}


@pytest.mark.parametrize("method", ALIGNED_METHODS)
def test_family_and_separate_operands_give_the_same_bits(method):
    # The separate operand is built from the keys in reverse order, so its
    # index places them differently and the keyed path pairs them by key.
    source = {f"k{i}": (i % 7) - 3.0 + i / 8 for i in range(2000)}
    source.update({"neg-zero": -0.0, "nan": NAN_PAYLOAD, "inf": math.inf, "": 0.0})
    d = QuorDict(source)
    family_other = d.multiply_scalar(-1.5).add_scalar(0.25)
    separate_other = QuorDict(dict(reversed(family_other.to_dict.items())))
    same_keys_other = QuorDict(source).multiply_scalar(-1.5).add_scalar(0.25)
    results = [getattr(d, method)(o, 9.0).to_dict for o in (family_other, separate_other, same_keys_other)]
    reference = {k: bits(v) for k, v in results[0].items()}
    assert all({k: bits(v) for k, v in r.items()} == reference for r in results[1:])
    op = {"add": float.__add__, "subtract": float.__sub__, "multiply": float.__mul__,
          "divide": float.__truediv__}[method]
    other_values = family_other.to_dict
    for key in ("k5", "k1999", "neg-zero"):
        assert results[0][key] == op(source[key], other_values[key])

