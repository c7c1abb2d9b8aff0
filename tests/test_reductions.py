"""sum() and product(): start values, binary64 edges, sequential storage order, and their argument checks."""

import math

import pytest

import quorvex
from model import Model, bits

QuorDict = quorvex.QuorDict
NAN = object()


@pytest.mark.parametrize(
    "values, expected_sum, expected_product",
    [
        ([], -0.0, 1.0),
        ([-0.0], -0.0, -0.0),
        ([0.0], 0.0, 0.0),
        ([-0.0, -0.0], -0.0, 0.0),
        ([-0.0, 0.0], 0.0, -0.0),
        ([1.0, 2.0, 3.0], 6.0, 6.0),
        ([2.0, 3.0, 4.0], 9.0, 24.0),
        ([1, True, 3], 5.0, 3.0),
        ([math.nan, 1.0, 2.0], NAN, NAN),
        ([math.inf, -math.inf], NAN, -math.inf),
        ([math.inf, 5.0], math.inf, math.inf),
        ([0.0, math.inf], math.inf, NAN),
        ([-0.0, -math.inf, 2.0], -math.inf, NAN),
        ([1e308, 1e308], math.inf, math.inf),
        ([-1e308, -1e308], -math.inf, math.inf),
        ([1e-200, 1e-200], 2e-200, 0.0),
        ([-1e-200, 1e-200], 0.0, -0.0),
        ([5e-324, 0.5], 0.5, 0.0),
    ],
    ids=[
        "empty", "only-negative-zero", "only-zero", "two-negative-zeros", "mixed-zeros", "one-two-three",
        "two-three-four", "int-and-bool-values", "nan", "inf-minus-inf", "inf-and-finite", "zero-times-inf",
        "negative-zero-times-negative-inf", "sum-overflows", "sum-overflows-negative", "product-underflows",
        "product-underflows-negative", "subnormal-halved",
    ],
)
def test_reduction_edges(values, expected_sum, expected_product):
    d = QuorDict({f"k{i}": v for i, v in enumerate(values)})
    for result, expected in ((d.sum(), expected_sum), (d.product(), expected_product)):
        assert type(result) is float
        if expected is NAN:
            assert math.isnan(result)
        else:
            assert bits(result) == bits(expected), (result, expected)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.sum(1), "QuorDict.sum() takes no arguments (1 given)"),
        (lambda d: d.product(1.0, 2.0), "QuorDict.product() takes no arguments (2 given)"),
        (lambda d: d.sum(value=1), "QuorDict.sum() takes no keyword arguments"),
        (lambda d: d.product(x=1), "QuorDict.product() takes no keyword arguments"),
    ],
    ids=["sum-positional", "product-two-positional", "sum-keyword", "product-keyword"],
)
def test_reductions_take_no_arguments(call, message):
    d = QuorDict({"a": 2.0})
    with pytest.raises(TypeError) as excinfo:
        call(d)
    assert type(excinfo.value) is TypeError and excinfo.value.args == (message,)
    assert d.sum() == 2.0


def test_large_exact_reductions():
    d = QuorDict({f"k{i}": float(i) for i in range(1, 10_001)})
    assert d.sum() == 50_005_000.0
    powers = QuorDict({f"p{i}": 2.0 ** (1 if i % 3 else -2) for i in range(3000)})
    assert powers.product() == 2.0 ** (2000 - 2000)
    assert powers.multiply_scalar(-1.0).product() == 1.0
    assert powers.add_scalar(0.5).sum() == 2000 * 2.5 + 1000 * 0.75


@pytest.mark.parametrize(
    "values",
    [
        [1e308, 1e308, -1e308, 1.0],
        [1.0, 2.0**-53, 2.0**-53, 2.0**-52, 3.0],
        [1e300, 1e10, 1e-300, 1e-10, -1.0],
        [3.0, 0.1, 0.2, 0.3, 0.7],
    ],
    ids=["overflow-depends-on-order", "absorption", "huge-and-tiny", "decimal-fractions"],
)
def test_every_family_member_reduces_in_one_consistent_storage_order(values):
    # The model keeps the storage orders that fit each observed result; derived
    # instances must keep their source's order, so one order must fit them all.
    source = {f"k{i}": v for i, v in enumerate(values)}
    d = QuorDict(source)
    m = Model(source)
    pairs = [(d, m), (d.multiply_scalar(-1.0), m.multiply_scalar(-1.0)), (d.add_scalar(0.5), m.add_scalar(0.5)),
             (d.add(d), m.add(m)), (d.reset(1.0).divide(d), m.reset(1.0).divide(m))]
    for real, model in pairs:
        assert model.reduction_fits("sum", real.sum()) is True
        assert model.reduction_fits("product", real.product()) is True
    assert m.family.orders


def test_separately_built_instances_each_sum_in_some_order():
    source = {f"k{i}": v for i, v in enumerate([1.0, 2.0**-53, 2.0**-53, 2.0**-53])}
    m = Model(source)
    possible = set().union(*(m.sequential("sum", order) for order in m.family.orders))
    assert len(possible) > 1
    assert all(bits(QuorDict(source).sum()) in possible for _ in range(20))
