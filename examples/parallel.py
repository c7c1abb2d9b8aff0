"""Totals per key over a dataset split across worker processes, with the standard library alone.

Each worker turns its partition of (key, amount) records into a QuorDict aligned on a
catalogue of every key; the parent adds the partial results in partition order. Instances
pickle, so they go to and come back from workers like any other value.
"""

import random
from concurrent.futures import ProcessPoolExecutor

import quorvex as qv


def partial_totals(catalogue, records):
    sums = {}
    for key, amount in records:
        sums[key] = sums.get(key, 0.0) + amount
    # Aligned on the catalogue: every key present, 0.0 where this partition had no record.
    # Partials built this way share one key layout, so adding them needs no key lookups.
    return catalogue.add(qv.QuorDict(sums))


def plain_python_totals(keys, partitions):
    totals = dict.fromkeys(keys, 0.0)
    for records in partitions:
        sums = {}
        for key, amount in records:
            sums[key] = sums.get(key, 0.0) + amount
        for key in keys:
            totals[key] += sums.get(key, 0.0)
    return totals


def main():
    rng = random.Random(7)
    keys = [f"store-{i:03d}" for i in range(200)]
    records = [(rng.choice(keys), round(rng.uniform(0.0, 100.0), 2)) for _ in range(50_000)]
    partitions = [records[start::4] for start in range(4)]
    catalogue = qv.QuorDict(dict.fromkeys(keys, 0.0))

    with ProcessPoolExecutor(max_workers=2) as pool:
        partials = list(pool.map(partial_totals, [catalogue] * len(partitions), partitions))
    total = catalogue
    for partial in partials:  # a fixed order of additions gives the same bits on every run
        total = total.add(partial)

    expected = plain_python_totals(keys, partitions)
    assert total.to_dict == expected, "the pool's totals differ from plain Python's"
    top = sorted(total.to_dict.items(), key=lambda item: -item[1])[:3]
    print("top stores:", ", ".join(f"{key} {value:.2f}" for key, value in top))
    print(f"grand total {total.sum():.2f} over {len(records)} records: matches plain Python")


if __name__ == "__main__":
    main()
