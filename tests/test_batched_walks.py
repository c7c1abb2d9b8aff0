"""Walks that work a batch of keys at a time: construction from a dict, keyed lookups, to_dict."""

import random
from fractions import Fraction

import pytest

import quorvex

QuorDict = quorvex.QuorDict
# Batches hold 16 entries; these sizes and positions sit on either side of their edges.
EDGES = [1, 15, 16, 17, 33, 200]


def panic_message(excinfo):
    assert type(excinfo.value).__name__ == "PanicException"
    return excinfo.value.args


class Quarter(float):
    pass


class Recorded:
    """A value converted through __float__, which logs each conversion."""

    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(self.name)
        return self.value


@pytest.mark.parametrize("every", [1, 2, 7, 16, 17], ids=lambda e: f"python-value-every-{e}")
def test_each_value_is_converted_once_in_dict_order(every):
    log = []
    source, expected = {}, {}
    for i in range(70):
        key = f"key-{i}" if i % 5 else f"clé-{i}"  # some keys need UTF-8 encoding
        if i % every == 0:
            source[key] = Recorded(log, key, i / 4)
        else:
            # A float subclass (numpy's float64 is one) is read without Python code.
            source[key] = [float(i / 4), i // 4 if i % 4 == 0 else i / 4, Fraction(i, 4), Quarter(i / 4)][
                i % 3 if i % 7 else 3]
        expected[key] = i / 4
    assert QuorDict(source).to_dict == expected
    assert log == [k for k, v in source.items() if isinstance(v, Recorded)]


def _grow(source, me):
    source["grown"] = 0.0


def _swap_own_key(source, me):
    key = next(k for k, v in source.items() if v is me)
    del source[key]
    source[key + "-new"] = 0.0


@pytest.mark.parametrize("at", [0, 15, 16, 17, 40], ids=lambda a: f"entry-{a}")
@pytest.mark.parametrize("action, message", [
    (_grow, "dictionary changed size during iteration"),
    (_swap_own_key, "dictionary keys changed during iteration"),
], ids=["adds-key", "swaps-own-key"])
def test_a_change_deep_in_the_walk_is_caught(at, action, message):
    class Meddler:
        def __float__(self):
            action(source, self)
            return 1.0

    source = {f"k{i}": float(i) for i in range(50)}
    source[f"k{at}"] = Meddler()
    with pytest.raises(BaseException) as excinfo:
        QuorDict(source)
    assert panic_message(excinfo) == (message,)


@pytest.mark.parametrize("at, victim", [(0, 1), (3, 9), (14, 15), (15, 16), (20, 45)],
                         ids=lambda v: f"{v}" if isinstance(v, int) else None)
def test_a_conversion_that_replaces_a_later_entry_is_followed_by_the_walk(at, victim):
    # Same size afterwards, so the walk goes on: over the dict as it is now.
    log = []
    source = {f"k{i}": Recorded(log, f"k{i}", float(i)) for i in range(50)}
    kept = list(source.values())  # the replaced value stays alive, so a stale read could not crash

    class Replacer:
        def __float__(self):
            del source[f"k{victim}"]
            source["newcomer"] = 99.0
            return -1.0

    source[f"k{at}"] = Replacer()
    result = QuorDict(source).to_dict
    assert result == {**{k: float(k[1:]) for k in source if k.startswith("k")}, f"k{at}": -1.0, "newcomer": 99.0}
    assert log == [f"k{i}" for i in range(50) if i not in (at, victim)] and kept


@pytest.mark.parametrize("at", [0, 14, 15, 31], ids=lambda a: f"entry-{a}")
def test_an_error_after_a_changed_dict_comes_before_the_change_is_noticed(at):
    # The conversion at `at` re-inserts its own key at the end; the walk then
    # meets the bad key before it could notice that the keys changed.
    class Reinserts:
        def __float__(self):
            key = next(k for k, v in source.items() if v is self)
            del source[key]
            source[key] = 5.0
            return 1.0

    source = {f"k{i}": float(i) for i in range(at)}
    source["moving"] = Reinserts()
    source[7] = 1.0
    with pytest.raises(TypeError) as excinfo:
        QuorDict(source)
    assert excinfo.value.args == ("'int' object is not an instance of 'str'",)


OPS = {"add": float.__add__, "subtract": float.__sub__, "multiply": float.__mul__, "divide": float.__truediv__}


@pytest.mark.parametrize("size", EDGES, ids=lambda n: f"{n}-keys")
@pytest.mark.parametrize("method", OPS)
def test_keyed_lookups_in_another_order_match_a_model(size, method):
    rng = random.Random(size)
    mine = {f"m{i}": rng.uniform(-9, 9) for i in range(size)}
    theirs = {k: rng.uniform(1, 9) for k in rng.sample(list(mine), size // 3)}
    theirs.update({f"only-theirs-{i}": 1.0 for i in range(size // 2)})
    theirs = dict(rng.sample(list(theirs.items()), len(theirs)))
    result = getattr(QuorDict(mine), method)(QuorDict(theirs), 0.5).to_dict
    assert result == {k: OPS[method](v, theirs.get(k, 0.5)) for k, v in mine.items()}


def test_equal_key_orders_and_other_orders_give_the_same_values():
    keys = [f"k{i}" for i in range(300)]
    left = QuorDict({k: float(i) for i, k in enumerate(keys)})
    same_order = QuorDict({k: 2.0 * i for i, k in enumerate(keys)})
    reversed_order = QuorDict({k: 2.0 * i for i, k in reversed(list(enumerate(keys)))})
    expected = {k: 3.0 * i for i, k in enumerate(keys)}
    assert left.add(same_order).to_dict == expected == left.add(reversed_order).to_dict


def test_to_dict_rebuilds_ascii_and_other_keys_as_plain_equal_strings():
    source = {"": 1.0, "a\x00b": 2.0, "plain": 3.0, "é": 4.0, "日本語": 5.0, "\U0001F600": 6.0, "x" * 300: 7.0}
    for ascii_only in (False, True):
        keys = {k: v for k, v in source.items() if k.isascii() or not ascii_only}
        result = QuorDict(keys).to_dict
        assert result == keys
        # An ASCII key must come back flagged ASCII, as the interpreter's own strings are.
        assert sorted((k, type(k), k.isascii()) for k in result) == sorted((k, str, k.isascii()) for k in keys)


class Attributes:
    pass


def _split_table():
    holder = Attributes()
    for i in range(10):
        setattr(holder, f"attribute_{i}", i / 8)
    return vars(holder)


def _with_holes():
    source = {f"kept-{i}" if i % 3 else f"gone-{i}": i / 8 for i in range(300)}
    for key in [k for k in source if k.startswith("gone")]:
        del source[key]
    return source


def _hashes_beside_keys():
    # A table that once held a key other than a str keeps each key's hash in its entries.
    source = {0: 0.0, **{f"clé-{i}": i / 8 for i in range(300)}}
    del source[0]
    return source


# Construction reads a dict's entry table ahead of its walk: every layout of
# that table must be walked the same.
@pytest.mark.parametrize("make", [
    _split_table, _with_holes, _hashes_beside_keys,
    lambda: QuorDict({f"k{i}": i / 8 for i in range(300)}).to_dict,
], ids=["split-table", "deleted-entries", "hashes-beside-keys", "presized"])
def test_construction_walks_every_layout_of_a_dict_table(make):
    source = make()
    assert QuorDict(source).to_dict == source

