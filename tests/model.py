"""A pure-Python reference model of quorvex.QuorDict that predicts every result to the bit.

Values are held as sets of acceptable bit patterns ("candidates") rather than as
floats, because a reduction's result may depend on the storage order, which the
module never shows. An element rule gives a single pattern: a NaN left operand
comes out quieted whatever the right one holds, and every other result is
computed by Python's own float arithmetic on the same hardware as the module
(so signalling NaNs are quieted and invalid operations give the hardware's
default NaN exactly as in the module).

Reductions run in the instance's storage order, which the module never shows.
For families of at most MAX_PERMUTED keys the model keeps every permutation
that is still consistent with the sums and products observed so far on any
member of the family (all members share one storage order), so each observed
reduction must fit at least one order that also fits all earlier ones. Larger
families are checked only where the order cannot matter (see order_free).

Usage:
    m = Model({"a": 1.0})
    r = m.add_scalar(2.0)               # shares m's Family, like the real key index
    assert r.mismatches(real.to_dict) == []
    assert r.reduction_fits("sum", real.sum()) is not False
"""

import itertools
import math
import struct
from fractions import Fraction

QUIET_BIT = 1 << 51
MAX_PERMUTED = 5
ANY_NAN = "any NaN"


def bits(x):
    """The binary64 bit pattern of x as an unsigned integer."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(pattern):
    """The float whose binary64 bit pattern is `pattern`."""
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def same_bits(x, y):
    return bits(x) == bits(y)


DEFAULT_NAN_BITS = bits(math.inf - math.inf)


def _divide(a, b):
    # Python raises on division by zero where binary64 gives a result.
    if b != 0.0:
        return a / b
    if math.isnan(a):
        return a + 0.0  # the NaN quieted, payload kept
    if a == 0.0:
        return from_bits(DEFAULT_NAN_BITS)
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


OPERATIONS = {
    "add": lambda a, b: a + b,
    "subtract": lambda a, b: a - b,
    "multiply": lambda a, b: a * b,
    "divide": _divide,
}
DEFAULT_FILL = {"add": 0.0, "subtract": 0.0, "multiply": 1.0, "divide": 1.0}


def combine(op, left, right):
    """Candidates of `left op right` for two candidate sets."""
    out = set()
    for a_bits in left:
        a = from_bits(a_bits)
        for b_bits in right:
            b = from_bits(b_bits)
            if math.isnan(a):
                out.add(a_bits | QUIET_BIT)
            else:
                out.add(bits(OPERATIONS[op](a, b)))
    return frozenset(out)


def to_binary64(value):
    """The float a value of the source dict becomes: exact floats keep their bits."""
    if type(value) is float:
        return value
    if isinstance(value, (int, float)):
        return float(value)
    raise TypeError(f"the model takes numbers only, not {type(value).__name__}")


class Family:
    """What instances sharing one key index have in common: the storage order."""

    def __init__(self, keys):
        self.keys = tuple(keys)
        self.orders = list(itertools.permutations(self.keys)) if len(self.keys) <= MAX_PERMUTED else None


class Model:
    def __init__(self, source, family=None):
        self.values = {}
        for key, value in source.items():
            self.values[str.__str__(key)] = frozenset((bits(to_binary64(value)),))
        self.family = family or Family(self.values)

    def _derive(self, values):
        derived = Model({}, self.family)
        derived.values = values
        return derived

    # scalar operations
    def _scalar(self, op, x):
        scalar = frozenset((bits(to_binary64(x)),))
        return self._derive({k: combine(op, v, scalar) for k, v in self.values.items()})

    def add_scalar(self, x):
        return self._scalar("add", x)

    def subtract_scalar(self, x):
        return self._scalar("subtract", x)

    def multiply_scalar(self, x):
        return self._scalar("multiply", x)

    def divide_scalar(self, x):
        return self._scalar("divide", x)

    def reset(self, x):
        scalar = frozenset((bits(to_binary64(x)),))
        return self._derive({k: scalar for k in self.values})

    # aligned operations: self's keys only, `fill` where other lacks the key
    def aligned(self, op, other, fill=None):
        missing = frozenset((bits(to_binary64(DEFAULT_FILL[op] if fill is None else fill)),))
        return self._derive({k: combine(op, v, other.values.get(k, missing)) for k, v in self.values.items()})

    def add(self, other, fill=None):
        return self.aligned("add", other, fill)

    def subtract(self, other, fill=None):
        return self.aligned("subtract", other, fill)

    def multiply(self, other, fill=None):
        return self.aligned("multiply", other, fill)

    def divide(self, other, fill=None):
        return self.aligned("divide", other, fill)

    # reading back
    def to_dict(self):
        """One representative float per key (the only one, unless two NaNs met)."""
        return {k: from_bits(min(v)) for k, v in self.values.items()}

    def mismatches(self, actual):
        """Differences between the real to_dict and the model, as readable lines."""
        problems = []
        if set(actual) != set(self.values):
            problems.append(f"keys {sorted(map(ascii, actual))} != {sorted(map(ascii, self.values))}")
        for key in set(actual) & set(self.values):
            got = actual[key]
            if type(got) is not float or bits(got) not in self.values[key]:
                wanted = " or ".join(f"{p:#018x}" for p in sorted(self.values[key]))
                problems.append(f"{key!a}: {got!r} ({bits(got):#018x}) != {wanted}")
        return problems

    # reductions
    def sequential(self, kind, order):
        """Candidates of sum or product over the keys in `order`."""
        op, acc = ("add", frozenset((bits(-0.0),))) if kind == "sum" else ("multiply", frozenset((bits(1.0),)))
        for key in order:
            acc = combine(op, acc, self.values[key])
        return acc

    def reduction_fits(self, kind, actual):
        """True or False when the result is decidable, None when it depends on an unknown order.

        For small families this narrows the family's possible storage orders.
        """
        if type(actual) is not float:
            return False
        if self.family.orders is not None:
            kept = [o for o in self.family.orders if bits(actual) in self.sequential(kind, o)]
            if not kept:
                return False
            self.family.orders = kept
            return True
        expected = self.order_free(kind)
        if expected is None:
            return None
        if expected == ANY_NAN:
            return math.isnan(actual)
        return bits(actual) in expected

    def order_free(self, kind):
        """The result where no storage order can change it: ANY_NAN, a candidate set, or None."""
        reps = [from_bits(min(v)) for v in self.values.values()]
        if any(math.isnan(v) for v in reps):
            return ANY_NAN
        finite = [v for v in reps if math.isfinite(v)]
        infinite = [v for v in reps if not math.isfinite(v)]
        return (_order_free_sum if kind == "sum" else _order_free_product)(reps, finite, infinite)


def _order_free_sum(reps, finite, infinite):
    magnitude = sum(Fraction(abs(v)) for v in finite)
    if infinite:
        if len(set(infinite)) == 2:
            return ANY_NAN
        # Below 2**1023 no partial sum of the finite values can overflow.
        return frozenset((bits(infinite[0]),)) if magnitude < 2**1023 else None
    scale = max((Fraction(v).denominator for v in finite), default=1)
    if magnitude * scale > 2**53:
        return None  # some partial sum may round
    total = sum(Fraction(v) for v in finite)
    if total == 0:
        # Only -0.0 + -0.0 stays -0.0; the start value is -0.0.
        return frozenset((bits(-0.0 if all(same_bits(v, -0.0) for v in reps) else 0.0),))
    return frozenset((bits(float(total)),))


def _order_free_product(reps, finite, infinite):
    sign = -1.0 if sum(math.copysign(1.0, v) < 0 for v in reps) % 2 else 1.0
    zero = any(v == 0.0 for v in finite)
    if zero and infinite:
        return ANY_NAN
    odd_product, low, high = 1, 0, 0
    for v in finite:
        if v == 0.0:
            continue
        numerator, denominator = abs(v).as_integer_ratio()
        shift = (numerator & -numerator).bit_length() - 1
        odd_product *= numerator >> shift
        exponent = shift - (denominator.bit_length() - 1)
        low, high = low + min(exponent, 0), high + max(exponent, 0)
    # Every partial product is odd * 2**e with odd < 2**53 and e >= -1074: exact, never 0, never inf.
    if odd_product >= 2**53 or low < -1074 or odd_product.bit_length() + high > 1024:
        return None
    if infinite:
        return frozenset((bits(math.copysign(math.inf, sign)),))
    if zero:
        return frozenset((bits(math.copysign(0.0, sign)),))
    magnitude = math.prod((Fraction(abs(v)) for v in finite), start=Fraction(1))
    return frozenset((bits(math.copysign(float(magnitude), sign)),))
