#!/usr/bin/env python3
"""Coverage-guided fuzzing of quorvex.QuorDict: fuzzer bytes become a program of constructions and method calls whose results are checked against tests/model.py.

Every input is read as a sequence of steps on a small pool of live instances,
each paired with its model: construction from a generated dict (odd keys,
values that go through __float__ or __index__, bad keys and values, and values
whose conversion changes the dict being converted), the scalar and aligned
operations with good and bad arguments, to_dict, sum and product, exclusive
borrow marks set from outside, and dropping instances. Each step's outcome,
result or exception, is predicted from the contract and compared; after every
step every live instance's borrow flag must be back at 0.

    python3 -m pip install atheris==3.0.0
    python3 fuzz/fuzz_quordict.py CORPUS_DIR -max_total_time=600 -artifact_prefix=fuzz/corpus-regressions/

A failing input is written where -artifact_prefix points; keep it under
fuzz/corpus-regressions/, where tests/test_hostile.py replays every file
(run_input below needs no atheris).
"""

import math
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))

import model as reference  # noqa: E402  (tests/model.py)
from script_support import EXCLUSIVE, panic_exception_type, quiet_stderr  # noqa: E402
from script_support import borrow_flag as flag  # noqa: E402
import quorvex  # noqa: E402

QuorDict = quorvex.QuorDict
POOL_LIMIT = 8
STEP_LIMIT = 48

KEYS = ["", "a", "b", "c", "key", "é", "日本", "\0", "a\0b", "\U0001f600", "x" * 40, "A", "ab", "ba"]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, -2.5, 10.0, math.inf, -math.inf, math.nan, 1e308, -1e308,
          5e-324, 2.2250738585072014e-308, 1e-300, 0.1, 1 / 3, 2.0**53, 2.0**-1074 * 3]


class Exhausted(Exception):
    """The input has no more bytes: the program ends there."""


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def byte(self):
        if self.at >= len(self.data):
            raise Exhausted
        self.at += 1
        return self.data[self.at - 1]

    def below(self, n):
        return self.byte() % n

    def pick(self, items):
        return items[self.below(len(items))]

    def chance(self, in_256):
        return self.byte() < in_256

    def float(self):
        if self.below(4):
            return self.pick(FLOATS)
        raw = bytes(self.byte() for _ in range(8))
        return struct.unpack("<d", raw)[0]


with quiet_stderr():
    PanicException = panic_exception_type()


# ---- arguments and their predicted conversion --------------------------------------------------

class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Reentrant:
    """A number whose conversion runs the module on other instances first."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        inner = QuorDict({"r": 2.0, "s": -1.0})
        got = inner.add(inner.multiply_scalar(3.0)).sum()
        if got != 4.0:
            raise AssertionError(f"nested call gave {got!r}")
        return self.value


class RaisesValueError:
    def __float__(self):
        raise ValueError("from __float__")


class OddKey(str):
    """Equal only to itself: a dict can hold two of them with the same text."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return 7


class Outcome:
    """What a conversion or a call must end in: a value, or an exception type with its message (or prefix)."""

    def __init__(self, value=None, error=None, message=None, prefix=None):
        self.value, self.error, self.message, self.prefix = value, error, message, prefix


def number(reader):
    """(argument, Outcome of extract_float on it)."""
    kind = reader.below(12)
    if kind < 5:
        x = reader.float()
        return x, Outcome(x)
    if kind == 5:
        n = reader.below(256) - 128
        return n, Outcome(float(n))
    if kind == 6:
        b = reader.chance(128)
        return b, Outcome(1.0 if b else 0.0)
    if kind == 7:
        x = reader.float()
        return Floaty(x), Outcome(x)
    if kind == 8:
        n = reader.below(256) - 128
        return Indexy(n), Outcome(float(n))
    if kind == 9:
        x = reader.float()
        return Reentrant(x), Outcome(x)
    bad = reader.below(4)
    if bad == 0:
        return 10**400, Outcome(error=OverflowError, message="int too large to convert to float")
    if bad == 1:
        return "1.5", Outcome(error=TypeError, message="must be real number, not str")
    if bad == 2:
        return None, Outcome(error=TypeError, message="must be real number, not NoneType")
    return RaisesValueError(), Outcome(error=ValueError, message="from __float__")


def as_argument(outcome, name):
    """The outcome once wrap_argument_error has seen it: only TypeError itself is prefixed."""
    if outcome.error is TypeError:
        return Outcome(error=TypeError, message=f"argument '{name}': {outcome.message}")
    return outcome


# ---- construction -------------------------------------------------------------------------------

class Mutator:
    """A value whose conversion changes the dict being converted, then gives 1.0."""

    def __init__(self, mode):
        self.mode = mode
        self.source = None
        self.resized = False

    def __float__(self):
        source = self.source
        size_before = sys.getsizeof(source)
        own = next(k for k, v in source.items() if v is self)
        if self.mode == "grow":
            source["grown"] = 0.0
        elif self.mode == "shrink":
            del source[next((k for k in source if k is not own), own)]
        elif self.mode == "delete-own":
            del source[own]
        elif self.mode == "reinsert-own":
            del source[own]
            source[own] = 2.0
        elif self.mode == "swap-earlier":
            del source[next(iter(source))]
            source["swapped"] = 0.0
        self.resized = sys.getsizeof(source) != size_before
        return 1.0


def key_outcome(key):
    if not isinstance(key, str):
        shown = "'None' is" if key is None else f"'{type(key).__qualname__}' object is"
        return Outcome(error=TypeError, message=f"{shown} not an instance of 'str'")
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        return Outcome(error=UnicodeEncodeError)
    return Outcome(key)


def build_source(reader):
    """(source dict, {id(value): Outcome}, the Mutator or None)."""
    source, outcomes, mutator = {}, {}, None
    for _ in range(reader.below(9)):
        kind = reader.below(16)
        if kind < 12:
            key = reader.pick(KEYS)
        elif kind == 12:
            key = OddKey(reader.pick(KEYS[:4]))
        elif kind == 13:
            key = reader.below(50)
        elif kind == 14:
            key = None
        else:
            key = "\ud800" + reader.pick(KEYS[:3])
        if mutator is None and reader.chance(24):
            mutator = Mutator(reader.pick(["grow", "shrink", "delete-own", "reinsert-own", "swap-earlier"]))
            value, outcome = mutator, Outcome(1.0)
        else:
            value, outcome = number(reader)
        source[key] = value
        outcomes[id(value)] = outcome
    if mutator is not None:
        mutator.source = source
        if mutator not in source.values():  # replaced by a later entry of the same key
            mutator = None
    return source, outcomes, mutator


def predict_construction(entries, outcomes, mutator):
    """Outcome of QuorDict(source) by the walk of the contract, `entries` being the source's items before the call.

    A value whose conversion changed the dict is known by what it did: its
    change is replayed on the walk (the entry it deleted was yielded already or
    is skipped; an entry it added comes last). Returns None where the dict's
    own storage decides and the contract cannot: a change that made the dict
    rebuild its table, which moves the walk's position.
    """
    converted = {}
    queue = list(entries)
    yielded = 0
    while True:
        if yielded > len(entries):
            return Outcome(error=PanicException, message="dictionary keys changed during iteration")
        if not queue:
            return Outcome(converted)
        key, value = queue.pop(0)
        yielded += 1
        k = key_outcome(key)
        if k.error:
            return k
        if mutator is not None and value is mutator:
            if mutator.mode in ("grow", "shrink", "delete-own"):
                return Outcome(error=PanicException, message="dictionary changed size during iteration")
            if mutator.resized:
                return None
            if mutator.mode == "swap-earlier":
                # It deleted the first entry, already yielded (or this very one).
                queue.append(("swapped", 0.0))
            else:
                queue.append((key, 2.0))
            converted[key] = 1.0
            continue
        v = outcomes.get(id(value), Outcome(value))
        if v.error:
            return v
        converted[key] = v.value


def model_from(converted):
    """The model of an instance built from `converted`, whose later equal-text keys win."""
    merged = {}
    for key, value in converted.items():
        merged[str.__str__(key)] = value
    return reference.Model(merged)


# ---- checking -----------------------------------------------------------------------------------

class Mismatch(AssertionError):
    pass


def observe(call):
    """(result, None) or (None, the exception raised)."""
    try:
        return call(), None
    except (Mismatch, KeyboardInterrupt):
        raise
    except BaseException as caught:  # noqa: B036 - PanicException is BaseException's only
        return None, caught


def compare(result, caught, outcome, what):
    """The observed result or exception must match `outcome` (None: anything but a crash)."""
    if outcome is None:
        return
    if caught is not None:
        if outcome.error is None or type(caught) is not outcome.error:
            expected = outcome.error.__name__ if outcome.error else "a result"
            raise Mismatch(f"{what}: raised {type(caught).__name__}: {caught}; expected {expected}") from caught
        if outcome.message is not None and str(caught) != outcome.message:
            raise Mismatch(f"{what}: message {str(caught)!r}, expected {outcome.message!r}") from caught
    elif outcome.error is not None:
        raise Mismatch(f"{what}: returned {result!r}, expected {outcome.error.__name__}: {outcome.message}")


def check(call, outcome, what):
    result, caught = observe(call)
    compare(result, caught, outcome, what)
    return result


def require_state(real, modelled, what):
    problems = modelled.mismatches(real.to_dict)
    if problems:
        raise Mismatch(f"{what}: to_dict differs from the model: {problems[:4]}")


# ---- the program --------------------------------------------------------------------------------

SCALAR = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]
ALIGNED = ["add", "subtract", "multiply", "divide"]


def step_construct(reader, pool):
    source, outcomes, mutator = build_source(reader)
    by_keyword = reader.chance(64)
    entries = list(source.items())
    what = f"QuorDict({source!r})" + (f" with a value that does {mutator.mode}" if mutator else "")
    result, caught = observe((lambda: QuorDict(dict=source)) if by_keyword else (lambda: QuorDict(source)))
    expected = predict_construction(entries, outcomes, mutator)
    compare(result, caught, expected, what)
    if result is not None and expected is not None:
        modelled = model_from(expected.value)
        require_state(result, modelled, what)
        pool.append((result, modelled))


def step_scalar(reader, pool):
    real, modelled = reader.pick(pool)
    method = reader.pick(SCALAR)
    argument, outcome = number(reader)
    outcome = as_argument(outcome, "value")
    borrowed = reader.chance(8)
    if borrowed:
        outcome = Outcome(error=RuntimeError, message="Already mutably borrowed")
        flag(real).value = EXCLUSIVE
    try:
        by_keyword = reader.chance(64)
        bound = getattr(real, method)
        result = check((lambda: bound(value=argument)) if by_keyword else (lambda: bound(argument)),
                       outcome, f"{method}({argument!r})")
    finally:
        if borrowed:
            flag(real).value = 0
    if outcome.error is None:
        derived = getattr(modelled, method)(outcome.value)
        require_state(result, derived, method)
        pool.append((result, derived))


def step_aligned(reader, pool):
    real, modelled = reader.pick(pool)
    method = reader.pick(ALIGNED)
    other_kind = reader.below(8)
    if other_kind < 6:
        other, other_model = reader.pick(pool)
        other_outcome = Outcome(other)
    else:
        other, other_model = reader.pick([(None, None), (1, None), ({}, None), ("a", None)])
        shown = "'None' is" if other is None else f"'{type(other).__qualname__}' object is"
        other_outcome = Outcome(error=TypeError, message=f"argument 'other': {shown} not an instance of 'QuorDict'")
    fill_kind = reader.below(3)  # omitted, by position, by keyword
    fill, fill_outcome = number(reader) if fill_kind else (None, Outcome(None))
    fill_outcome = as_argument(fill_outcome, "fill")

    receiver_borrowed = reader.chance(8)
    other_borrowed = other_model is not None and other is not real and reader.chance(16)
    if receiver_borrowed:
        outcome = Outcome(error=RuntimeError, message="Already mutably borrowed")
    elif other_outcome.error:
        outcome = other_outcome
    elif fill_outcome.error:
        outcome = fill_outcome
    elif other_borrowed:
        outcome = Outcome(error=PanicException, message="Already mutably borrowed: PyBorrowError")
    else:
        outcome = Outcome(True)

    bound = getattr(real, method)
    call = {0: lambda: bound(other), 1: lambda: bound(other, fill), 2: lambda: bound(other, fill=fill)}[fill_kind]
    marked = ([real] if receiver_borrowed else []) + ([other] if other_borrowed else [])
    for instance in marked:
        flag(instance).value = EXCLUSIVE
    try:
        result = check(call, outcome, f"{method}(other={other!r}, fill={fill!r})")
    finally:
        for instance in marked:
            flag(instance).value = 0
    if outcome.error is None:
        derived = modelled.aligned(method, other_model, fill_outcome.value)
        require_state(result, derived, method)
        pool.append((result, derived))


def step_read(reader, pool):
    real, modelled = reader.pick(pool)
    kind = reader.below(3)
    if kind == 0:
        require_state(real, modelled, "to_dict")
        return
    name = "sum" if kind == 1 else "product"
    got = getattr(real, name)()
    if modelled.reduction_fits(name, got) is False:
        raise Mismatch(f"{name}() gave {got!r} ({reference.bits(got):#018x}), which no storage order explains "
                       f"for {modelled.to_dict()!r}")


def step_bad_call(reader, pool):
    real, _ = reader.pick(pool)
    method = reader.pick(SCALAR + ALIGNED)
    reduction = reader.pick(["sum", "product"])
    cases = [
        (lambda: getattr(real, method)(), TypeError),
        (lambda: getattr(real, method)(real, 1.0, 2.0), TypeError),
        (lambda: getattr(real, method)(valu=1.0), TypeError),
        (lambda: getattr(real, method)(**{"\udcff": 1.0}), TypeError),
        (lambda: getattr(real, reduction)(1), TypeError),
        (lambda: QuorDict(), TypeError),
        (lambda: QuorDict([("a", 1.0)]), TypeError),
    ]
    call, error = reader.pick(cases)
    check(call, Outcome(error=error), f"bad call of {method}")


STEPS = [step_construct, step_construct, step_scalar, step_scalar, step_aligned, step_aligned, step_read,
         step_bad_call]


def run_input(data):
    """Runs one input as a program; raises AssertionError (Mismatch) on a wrong outcome."""
    reader = Reader(data)
    pool = [(QuorDict({"a": 1.0, "b": 2.0}), reference.Model({"a": 1.0, "b": 2.0}))]
    try:
        for _ in range(STEP_LIMIT):
            kind = reader.below(len(STEPS) + 1)
            if kind == len(STEPS):
                if len(pool) > 1:
                    pool.pop(reader.below(len(pool)))
            else:
                STEPS[kind](reader, pool)
            del pool[:-POOL_LIMIT]
            for real, _ in pool:
                if flag(real).value != 0:
                    raise Mismatch(f"borrow flag left at {flag(real).value:#x} after {STEPS[kind % len(STEPS)].__name__}")
    except Exhausted:
        pass


def test_one_input(data):
    with quiet_stderr():
        run_input(data)


def main():
    import atheris

    for function in [run_input, observe, compare, predict_construction, build_source, number, key_outcome,
                     Mutator.__float__, *STEPS, reference.combine, reference.Model.aligned,
                     reference.Model.mismatches, reference.Model.reduction_fits]:
        atheris.instrument_func(function)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
