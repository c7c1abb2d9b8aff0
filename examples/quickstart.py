"""A one-minute tour of quorvex: build, derive, align, reduce, and time it."""

import timeit

import quorvex as qv

prices = qv.QuorDict({"apple": 1.20, "pear": 0.80, "plum": 2.50})
discounts = qv.QuorDict({"apple": 0.10, "plum": 0.25})


def show(d):
    # to_dict's key order is not guaranteed; sort for a stable printout.
    return dict(sorted(d.to_dict.items()))


# Every operation returns a new instance; `prices` never changes.
with_tax = prices.multiply_scalar(1.2)
print("with tax:     ", show(with_tax))

# Aligned on the receiver's keys; keys missing from `discounts` use `fill`.
discounted = prices.subtract(discounts, fill=0.0)
print("discounted:   ", show(discounted))

print("total price:  ", prices.sum())
print("product:      ", prices.product())

# One timing beside the dict comprehension people write today.
n = 100_000
data = {f"key{i}": float(i) for i in range(n)}
weights = qv.QuorDict(data)
repeats = 20
ours = min(timeit.repeat(lambda: weights.add_scalar(1.0), number=repeats, repeat=3)) / repeats
theirs = min(timeit.repeat(lambda: {k: v + 1.0 for k, v in data.items()}, number=repeats, repeat=3)) / repeats
print(f"add 1.0 to {n} values: quorvex {ours * 1e3:.3f} ms, dict comprehension {theirs * 1e3:.3f} ms "
      f"({theirs / ours:.0f}x)")
