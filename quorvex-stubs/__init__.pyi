# Type information for the quorvex extension module, shipped as the stub-only package quorvex-stubs.
#
# The extension is one top-level module (its init function is PyInit_quorvex), so the stub cannot live
# beside it as quorvex/__init__.pyi; type checkers find a "<name>-stubs" directory in site-packages instead.
# Everything here describes the compiled module; nothing in it runs.

from typing import SupportsFloat, SupportsIndex, TypeVar, final

__all__ = ["QuorDict"]

# What the float conversion of every value, `value` and `fill` accepts: float and its subclasses,
# objects with __float__ (Decimal, Fraction, numpy scalars) and objects with __index__ (int, bool).
_Real = SupportsFloat | SupportsIndex

# dict is invariant in both parameters, so the constructor is generic: a dict[str, int] or a
# dict[MyStr, Decimal] is as acceptable as a dict[str, float].
_K = TypeVar("_K", bound=str)
_V = TypeVar("_V", bound=SupportsFloat | SupportsIndex)

@final
class QuorDict:
    """An immutable mapping from str keys to binary64 values with element-wise arithmetic.

    Every operation returns a new QuorDict; none changes its receiver. Aligned operations keep
    exactly the receiver's keys and use `fill` where `other` lacks a key. Arithmetic follows
    IEEE 754: division by zero gives an infinity or NaN and raises nothing.
    """

    def __new__(cls, dict: dict[_K, _V]) -> QuorDict:
        """Builds an instance from a dict (or dict subclass) with str keys and float-convertible values."""

    def add_scalar(self, value: _Real) -> QuorDict:
        """Adds a scalar value (single value) to every value in the dictionary."""

    def subtract_scalar(self, value: _Real) -> QuorDict:
        """Subtracts a scalar value (single value) to every value in the dictionary."""

    def multiply_scalar(self, value: _Real) -> QuorDict:
        """Multiplies a scalar value (single value) to every value in the dictionary."""

    def divide_scalar(self, value: _Real) -> QuorDict:
        """Divides a scalar value (single value) to every value in the dictionary."""

    def reset(self, value: _Real) -> QuorDict:
        """Sets all values to passed in value"""

    def add(self, other: QuorDict, fill: _Real = 0.0) -> QuorDict:
        """Adds values (d1 + d2), aligned on d1s keys; keys of d1 absent from d2 use `fill`."""

    def subtract(self, other: QuorDict, fill: _Real = 0.0) -> QuorDict:
        """Subtracts values (d1 - d2), aligned on d1s keys; keys of d1 absent from d2 use `fill`."""

    def multiply(self, other: QuorDict, fill: _Real = 1.0) -> QuorDict:
        """Multiplies values (d1 * d2), aligned on d1s keys; keys of d1 absent from d2 use `fill`."""

    def divide(self, other: QuorDict, fill: _Real = 1.0) -> QuorDict:
        """Divides values (d1 / d2), aligned on d1s keys; keys of d1 absent from d2 use `fill`."""

    def sum(self) -> float:
        """Sum of values (-0.0 for an empty instance)."""

    def product(self) -> float:
        """Product of values (1.0 for an empty instance)."""

    @property
    def to_dict(self) -> dict[str, float]:
        """A new dict holding every key with its value; key order is not guaranteed."""
