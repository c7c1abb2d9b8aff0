"""quorvex under a type checker: `mypy --strict examples/typed_usage.py` passes, and the script runs."""

from decimal import Decimal
from fractions import Fraction
from typing import assert_type

import quorvex as qv
from quorvex import QuorDict


def weighted_total(scores: QuorDict, weights: QuorDict) -> float:
    # Scores without a weight count fully: multiply's fill defaults to 1.0.
    return scores.multiply(weights).sum()


def normalised(scores: QuorDict) -> QuorDict:
    total = scores.sum()
    return scores.divide_scalar(total) if total else scores


def main() -> None:
    # Values may be anything float() accepts by __float__ or __index__; keys are str.
    counts: dict[str, int] = {"apple": 3, "pear": 1}
    exact = {"apple": Decimal("0.5"), "plum": Decimal("0.25")}
    scores = qv.QuorDict(counts)
    weights = QuorDict(exact).add_scalar(Fraction(1, 2))

    assert_type(scores, QuorDict)
    assert_type(scores.add(weights, fill=0), QuorDict)
    assert_type(scores.subtract(weights, 2.5), QuorDict)
    assert_type(scores.reset(True), QuorDict)
    assert_type(scores.product(), float)

    table: dict[str, float] = normalised(scores).to_dict
    for key, value in sorted(table.items()):
        print(f"{key}: {value:.3f}")
    print(f"weighted total: {weighted_total(scores, weights)}")


if __name__ == "__main__":
    main()
