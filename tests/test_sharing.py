"""Derived instances share the key index and own only their values; no call leaks memory or leaves a borrow behind."""

import ctypes
import gc
import tracemalloc

import pytest

import quorvex

QuorDict = quorvex.QuorDict
N = 100_000


@pytest.fixture
def traced():
    # The storage is allocated through the interpreter's raw allocator, which tracemalloc traces.
    gc.collect()
    tracemalloc.start()
    yield lambda: tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()


def big_source(n=N):
    return {f"key-{i}": float(i) for i in range(n)}


DERIVATIONS = {
    "add_scalar": lambda d: d.add_scalar(1.0),
    "subtract_scalar": lambda d: d.subtract_scalar(1.0),
    "multiply_scalar": lambda d: d.multiply_scalar(2.0),
    "divide_scalar": lambda d: d.divide_scalar(2.0),
    "reset": lambda d: d.reset(0.0),
    "add-family": lambda d: d.add(d),
    "divide-family": lambda d: d.divide(d.reset(3.0)),
}


@pytest.mark.parametrize("derive", DERIVATIONS.values(), ids=DERIVATIONS.keys())
def test_derived_instance_costs_one_value_per_key(traced, derive):
    source = big_source()
    start = traced()
    d = QuorDict(source)
    constructed = traced()
    derived = [derive(d) for _ in range(50)]
    per_key_each = (traced() - constructed) / N / len(derived)
    assert (constructed - start) / N > 16.0  # keys are stored once, at construction
    assert 8.0 <= per_key_each < 8.5


def test_key_index_lives_until_its_last_holder_goes(traced):
    source = big_source()
    start = traced()
    d = QuorDict(source)
    constructed = traced()
    last = d.add_scalar(1.0).multiply_scalar(2.0)
    held = traced()
    del d
    # Only d's values went; the index stays with `last`.
    assert held - traced() == pytest.approx(8 * N, rel=0.01)
    assert last.to_dict["key-7"] == 16.0
    del last
    assert traced() - start < 0.01 * (constructed - start)


LEAK_CHECKS = {
    "construction": lambda d, o: QuorDict(d.to_dict),
    "scalar": lambda d, o: d.divide_scalar(3.0),
    "positional": lambda d, o: d.subtract(d.reset(1.0)),
    "keyed": lambda d, o: d.multiply(o, fill=2.0),
    "keyed-empty-other": lambda d, o: d.add(QuorDict({})),
    "to_dict": lambda d, o: d.to_dict,
    "reductions": lambda d, o: (d.sum(), d.product()),
}


@pytest.mark.parametrize("work", LEAK_CHECKS.values(), ids=LEAK_CHECKS.keys())
def test_repeated_calls_do_not_grow_memory(traced, work):
    n = 10_000
    d = QuorDict(big_source(n))
    o = QuorDict({f"key-{i}": 1.0 for i in range(0, n, 3)})
    work(d, o)  # warm up caches and lazily created objects
    deltas = []
    for _ in range(4):
        before = traced()
        for _ in range(5):
            work(d, o)
        deltas.append(traced() - before)
    # A lost array of n values would add 8 * n bytes per call.
    assert max(deltas[1:]) < n, deltas


def borrow_flag(instance):
    # Layout of the instance record: object header (16 bytes), keys, values, then the flag.
    return ctypes.c_size_t.from_address(id(instance) + 32).value


class Probe:
    """A float-like value that records the borrow flags it sees, and may then fail."""

    def __init__(self, instances, error=None):
        self.instances, self.error, self.seen = instances, error, []

    def __float__(self):
        self.seen.append([borrow_flag(i) for i in self.instances])
        if self.error:
            raise self.error
        return 2.0


FAILING_CALLS = {
    "add_scalar-no-argument": lambda d, o: d.add_scalar(),
    "subtract_scalar-two-arguments": lambda d, o: d.subtract_scalar(1.0, 2.0),
    "multiply_scalar-unknown-keyword": lambda d, o: d.multiply_scalar(valu=1.0),
    "divide_scalar-bad-value": lambda d, o: d.divide_scalar("x"),
    "reset-value-raises": lambda d, o: d.reset(Probe([d], ValueError("no"))),
    "add-missing-other": lambda d, o: d.add(fill=1.0),
    "subtract-bad-other": lambda d, o: d.subtract([1.0]),
    "multiply-bad-fill": lambda d, o: d.multiply(o, None),
    "divide-fill-raises": lambda d, o: d.divide(o, Probe([d, o], KeyError("k"))),
    "add-other-twice": lambda d, o: d.add(o, other=o),
    "sum-argument": lambda d, o: d.sum(1),
    "product-argument": lambda d, o: d.product(x=1),
    "constructor-value-raises": lambda d, o: QuorDict({"a": Probe([d, o], RuntimeError("no"))}),
}


@pytest.mark.parametrize("call", FAILING_CALLS.values(), ids=FAILING_CALLS.keys())
def test_borrow_flags_are_free_after_failing_calls(call):
    d, o = QuorDict({"a": 1.0, "b": 2.0}), QuorDict({"b": 3.0})
    with pytest.raises(Exception):
        call(d, o)
    assert (borrow_flag(d), borrow_flag(o)) == (0, 0)
    assert d.add_scalar(1.0).to_dict == {"a": 2.0, "b": 3.0}


def test_borrows_held_while_a_conversion_runs():
    d, o = QuorDict({"a": 1.0}), QuorDict({"a": 4.0})
    probe = Probe([d, o])
    d.add_scalar(probe)
    d.multiply(o, probe)  # fill is converted before `other` is borrowed
    d.add(d, probe)
    assert probe.seen == [[1, 0], [1, 0], [1, 0]]

    class Nested:
        def __float__(self):
            inner_probe = Probe([d])
            inner = d.add(d, inner_probe)  # a nested call takes shared borrows too
            assert inner_probe.seen == [[2]] and borrow_flag(d) == 1 and inner.to_dict == {"a": 2.0}
            raise ValueError("after nesting")

    with pytest.raises(ValueError):
        d.subtract(o, Nested())
    assert (borrow_flag(d), borrow_flag(o)) == (0, 0)
