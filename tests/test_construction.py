"""QuorDict(dict) and to_dict: what goes in comes back bit for bit, and every bad input fails with its own error."""

import ctypes
import pickle
import random
import sys
from fractions import Fraction

import pytest

import quorvex
from model import bits, from_bits

QuorDict = quorvex.QuorDict


def panic_message(excinfo):
    error = excinfo.value
    assert (type(error).__module__, type(error).__name__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(error, Exception)
    return error.args


class Index:
    def __index__(self):
        return 7


class MinusOne:
    # -1.0 is also the interpreter's error marker for float conversion.
    def __float__(self):
        return -1.0


class OwnFloat(float):
    def __float__(self):
        raise AssertionError("a float subclass is read as a float")


class HalfInt(int):
    def __float__(self):
        return 0.5


class OwnText(str):
    def __str__(self):
        raise AssertionError("a str subclass is read as its text")


@pytest.mark.parametrize(
    "source, expected",
    [
        ({}, {}),
        ({"i": 1, "t": True, "f": False, "big": 2**53 + 1}, {"i": 1.0, "t": 1.0, "f": 0.0, "big": 9007199254740992.0}),
        ({"x": Index(), "m": MinusOne()}, {"x": 7.0, "m": -1.0}),
        ({OwnText("t"): OwnFloat(2.5), "h": HalfInt(3)}, {"t": 2.5, "h": 0.5}),
        ({"": 1.0, "\x00": 2.0, "a\x00b": 3.0, "é": 4.0, "日本": 5.0, "\U0001F600": 6.0, "é" * 100_000: 7.0}, None),
        ({"a": 1.0, "a ": 2.0, "A": 3.0}, None),
    ],
    ids=["empty", "int-and-bool-values", "index-and-float-minus-one", "subclasses", "unusual-keys",
         "near-duplicate-keys"],
)
def test_round_trip(source, expected):
    result = QuorDict(source).to_dict
    expected = source if expected is None else expected
    assert result == expected
    assert all(type(k) is str for k in result) and all(type(v) is float for v in result.values())


EDGE_BITS = {
    "quiet-nan": 0x7FF8000000000000,
    "nan-with-payload": 0x7FF800000000BEEF,
    "negative-nan-with-payload": 0xFFF8000000000123,
    "signalling-nan": 0x7FF0000000000001,
    "plus-inf": 0x7FF0000000000000,
    "minus-inf": 0xFFF0000000000000,
    "minus-zero": 0x8000000000000000,
    "plus-zero": 0,
    "smallest-subnormal": 1,
    "largest-finite": 0x7FEFFFFFFFFFFFFF,
}


def test_edge_values_round_trip_bit_exact():
    source = {name: from_bits(pattern) for name, pattern in EDGE_BITS.items()}
    result = QuorDict(source).to_dict
    assert {k: bits(v) for k, v in result.items()} == EDGE_BITS


def test_keyword_dict_and_subclass_whose_overrides_are_never_called():
    class Hostile(dict):
        def _fail(self, *args, **kwargs):
            raise AssertionError("dict subclass method called")

        __getitem__ = __iter__ = __len__ = __contains__ = items = keys = values = get = _fail

    source = Hostile(a=1.0, b=-0.0)
    result = QuorDict(dict=source).to_dict
    assert result == {"a": 1.0, "b": -0.0} and bits(result["b"]) == bits(-0.0)


def test_to_dict_gives_a_new_independent_dict_each_time():
    d = QuorDict({"a": 1.0, "b": 2.0})
    first, second = d.to_dict, d.to_dict
    assert first is not second and first == second == {"a": 1.0, "b": 2.0}
    first["a"] = 99.0
    first["new"] = 0.0
    del second["b"]
    assert d.to_dict == {"a": 1.0, "b": 2.0}
    assert d.add_scalar(0.0).to_dict == {"a": 1.0, "b": 2.0}


def test_source_dict_is_not_changed_or_kept():
    source = {"a": 1, "b": 2.5}
    d = QuorDict(source)
    source["a"] = 100
    source["c"] = 3.0
    assert source == {"a": 100, "b": 2.5, "c": 3.0}
    assert d.to_dict == {"a": 1.0, "b": 2.5}


class Surrogate(str):
    pass


@pytest.mark.parametrize(
    "make_argument, error_type, message",
    [
        (lambda: {"a": "1.0"}, TypeError, "must be real number, not str"),
        (lambda: {"a": None}, TypeError, "must be real number, not NoneType"),
        (lambda: {"a": 10**400}, OverflowError, "int too large to convert to float"),
        (lambda: {1: 1.0}, TypeError, "'int' object is not an instance of 'str'"),
        (lambda: {None: 1.0}, TypeError, "'None' is not an instance of 'str'"),
        (lambda: {b"a": 1.0}, TypeError, "'bytes' object is not an instance of 'str'"),
        (lambda: {("a",): 1.0}, TypeError, "'tuple' object is not an instance of 'str'"),
        (lambda: {1: "not a number"}, TypeError, "'int' object is not an instance of 'str'"),
        (lambda: {"ok": 1.0, 2: 1.0}, TypeError, "'int' object is not an instance of 'str'"),
        (lambda: [("a", 1.0)], TypeError, "argument 'dict': 'list' object is not an instance of 'dict'"),
        (lambda: None, TypeError, "argument 'dict': 'None' is not an instance of 'dict'"),
        (lambda: QuorDict({}), TypeError, "argument 'dict': 'QuorDict' object is not an instance of 'dict'"),
    ],
    ids=[
        "str-value", "none-value", "huge-int-value", "int-key", "none-key", "bytes-key", "tuple-key",
        "key-checked-before-value", "bad-key-after-good-entry", "list-argument", "none-argument",
        "quordict-argument",
    ],
)
def test_bad_input(make_argument, error_type, message):
    with pytest.raises(BaseException) as excinfo:
        QuorDict(make_argument())
    assert type(excinfo.value) is error_type
    assert excinfo.value.args == (message,)


@pytest.mark.parametrize("key", ["ok\ud800", "\U0001F600\udfff\u00e9"], ids=["two-byte-str", "four-byte-str"])
@pytest.mark.parametrize("value", [1.0, "not a number"], ids=["good-value", "bad-value"])
def test_lone_surrogate_key_raises_the_encoding_error_of_the_interpreter(value, key):
    with pytest.raises(UnicodeEncodeError) as interpreter:
        key.encode("utf-8")
    with pytest.raises(BaseException) as excinfo:
        QuorDict({"fine": 1.0, key: value})
    assert type(excinfo.value) is UnicodeEncodeError
    assert excinfo.value.args == interpreter.value.args


class Text(str):
    pass


# Each character class a str can be stored in, at the edges where its kind
# changes, alone and mixed, in batches of many keys and with keys long enough
# to need a multi-byte length record.
TEXT_KEY_SETS = {
    "utf8-lengths-1-to-4": ["a", "\u00e9", "\u20ac", "\U0001F600"],
    "kind-edges": ["\x7f", "\x80", "\xff", "\u0100", "\ud7ff", "\ue000", "\uffff", "\U00010000", "\U0010FFFF"],
    "mixed-in-one-key": ["a\xff", "\x80\u0100", "z\uffff\U00010000", "\u00e9" * 70 + "\U0001F600", "\x00\u0800"],
    "many-per-batch": [f"{i}" + "\u00e9\u4e2d\U0001F600"[i % 3] * (1 + i % 50) for i in range(100)],
    "str-subclass": [Text("\u00e9t\u00e9"), Text("\U0001F680"), Text("plain")],
    # Random mixes of every length up to five blocks of eight characters.
    "random-mixes": list({"".join(random.Random(i).choices(pool, k=i % 41)): None
                          for i, pool in enumerate(["az\x7f\x80\xff", "a\xe9\u03b1\u07ff", "\u0800\u4e2d\uffff",
                                                    "a\u0800\u03b1\U0001F600"] * 60)}),
}


@pytest.mark.parametrize("keys", TEXT_KEY_SETS.values(), ids=TEXT_KEY_SETS.keys())
def test_text_keys_round_trip_as_canonical_str_and_leave_the_callers_keys_alone(keys):
    # Keys built afresh carry no UTF-8 copy yet; Fraction values run Python
    # code mid-walk, so the walk fetches and encodes its batch again.
    source = {(k if type(k) is Text else k.encode().decode()): (float(i) if i % 3 else Fraction(i, 4))
              for i, k in enumerate(keys)}
    sizes = [sys.getsizeof(k) for k in source]
    result = QuorDict(source).to_dict

    assert [sys.getsizeof(k) for k in source] == sizes
    assert list(result) == list(source) and list(result.values()) == [float(v) for v in source.values()]
    for mine, theirs in zip(result, (k.encode().decode() for k in source)):
        assert type(mine) is str
        assert (hash(mine), sys.getsizeof(mine)) == (hash(theirs), canonical_size(theirs)), repr(theirs)


def test_keys_at_every_record_size_round_trip_and_are_found_from_another_index():
    # Keys of 0 to 70 characters, all of one UTF-8 length or ASCII but the
    # last, in random order: their records take heads of one byte and of more
    # (64 bytes or 32 characters) and copies of one move and of more (64
    # bytes), side by side in each batch.
    keys = {text for char in "a\u00e9\u4e2d\U0001F600" for count in range(70)
            for text in (char * count, "a" * count + char)}
    keys = sorted(keys)
    random.Random(12).shuffle(keys)
    source = {key.encode().decode(): float(i) for i, key in enumerate(keys)}
    q = QuorDict(source)
    reversed_q = QuorDict(dict(reversed(source.items())))

    assert list(q.to_dict.items()) == list(source.items())
    # to_dict may cache its keys' hashes itself: they must be the interpreter's.
    assert [hash(key) for key in q.to_dict] == [hash(key.encode().decode()) for key in keys]
    assert q.add(reversed_q, 0.0).to_dict == {key: 2 * value for key, value in source.items()}
    assert pickle.loads(pickle.dumps(q)).to_dict == source


def wider_str(text, max_char):
    """`text` in a str of a wider kind than it needs, which the C API allows
    (PyUnicode_New's maximum may be rounded up). It equals no canonical str."""
    new = ctypes.pythonapi.PyUnicode_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_ssize_t, ctypes.c_uint32]
    made = new(len(text), max_char)
    width, codec = (2, "utf-16-le") if max_char < 0x10000 else (4, "utf-32-le")
    header = sys.getsizeof(made) - (len(text) + 1) * width
    ctypes.memmove(id(made) + header, text.encode(codec), len(text) * width)
    return made


def test_keys_of_a_wider_kind_than_they_need_come_back_canonical():
    texts = ["plain", "\xe9t\xe9", "\u4e2d", "\u03b1" * 40, "abc\xe9", "a\u4e2dbcd"]
    keys = [wider_str(t, 0xFFFF if t.isascii() else 0x10FFFF) for t in texts]
    assert all(k != t for k, t in zip(keys, texts))
    result = QuorDict({k: float(i) for i, k in enumerate(keys)}).to_dict
    assert result == {t: float(i) for i, t in enumerate(texts)}
    assert [sys.getsizeof(k) for k in result] == [canonical_size(t) for t in texts]


def canonical_size(text):
    """sys.getsizeof of `text` stored in its smallest kind with no UTF-8 copy.

    The interpreter's own strs are no reference on every version: a
    one-character Latin-1 str is a shared object that may carry a UTF-8 copy.
    Two fresh strs one character apart give the size per character instead.
    """
    shorter, longer = ("".join([*text, "\0" * pad]) for pad in (2, 3))
    per_char = sys.getsizeof(longer) - sys.getsizeof(shorter)
    return sys.getsizeof(shorter) - 2 * per_char


@pytest.mark.parametrize("error", [ValueError("bad value"), TypeError("inner"), KeyError("k")],
                         ids=["value-error", "type-error-not-prefixed", "key-error"])
def test_exception_from_float_conversion_passes_unchanged(error):
    class Raises:
        def __float__(self):
            raise error

    with pytest.raises(BaseException) as excinfo:
        QuorDict({"a": 1.0, "b": Raises()})
    assert excinfo.value is error
    assert excinfo.value.args == error.args


class TextKey(str):
    """A key equal only to itself, so a dict may hold two of the same text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("first", [TextKey, str], ids=["subclass-first", "exact-str-first"])
@pytest.mark.parametrize("values, expected", [((1.0, 2.0), 2.0), ((2.0, 1.0), 1.0), ((5, -0.0), -0.0)],
                         ids=["later-wins", "later-wins-reversed", "later-minus-zero"])
def test_keys_of_equal_text_make_one_entry_with_the_later_value(first, values, expected):
    source = {first("k"): values[0], "other": 3.0, TextKey("k"): values[1]}
    assert len(source) == 3
    d = QuorDict(source)
    result = d.to_dict
    assert list(map(type, result)) == [str, str]
    assert set(result) == {"k", "other"} and bits(result["k"]) == bits(expected)
    assert d.sum() == 3.0 + expected


class Meddler:
    """A value whose conversion changes the dict being converted."""

    def __init__(self, source, action):
        self.source, self.action = source, action

    def __float__(self):
        self.action(self.source, self)
        return 1.0


def _add_key(source, me):
    source["added"] = 0.0


def _delete_other_entry(source, me):
    del source["b"]


def _delete_own_entry(source, me):
    # After this the dict held the last references to this key and value.
    for key in [k for k, v in source.items() if v is me]:
        del source[key]


def _reinsert_same_key(source, me):
    key = next(k for k, v in source.items() if v is me)
    del source[key]
    source[key] = 5.0


def _replace_with_new_key(source, me):
    key = next(k for k, v in source.items() if v is me)
    del source[key]
    source["replacement"] = 5.0


@pytest.mark.parametrize(
    "action, message",
    [
        (_add_key, "dictionary changed size during iteration"),
        (_delete_other_entry, "dictionary changed size during iteration"),
        (_delete_own_entry, "dictionary changed size during iteration"),
        (_reinsert_same_key, "dictionary keys changed during iteration"),
        (_replace_with_new_key, "dictionary keys changed during iteration"),
    ],
    ids=["adds-key", "deletes-other-entry", "deletes-own-entry", "reinserts-own-key", "replaces-own-key"],
)
def test_dict_changed_by_float_conversion_panics(action, message):
    source = {}
    # Keys built at run time, so that no code constant keeps them alive.
    source["".join(["a", "é"])] = Meddler(source, action)
    source["b"] = 2.0
    with pytest.raises(BaseException) as excinfo:
        QuorDict(source)
    assert panic_message(excinfo) == (message,)
