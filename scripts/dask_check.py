"""QuorDict instances on Dask's distributed scheduler, checked against plain Python.

A local cluster of worker processes, on the loopback interface only, turns each partition of
a keyed dataset into a QuorDict aligned on a catalogue of every key, then adds the partial
results pairwise in a fixed tree. Instances travel between the client and the workers and
from worker to worker as pickles. The same tree of additions in plain Python must give the
same keys in the same order and every value bit for bit; so must the grand total. Exits 0
on success and 1 with a message otherwise; the graph fixes every operand, so the result does
not depend on which worker runs what.
"""

import os
import random
import struct
import sys

from dask.distributed import Client, LocalCluster

import quorvex

PARTITIONS = 8
TIMEOUT_SECONDS = 120


def bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def dataset():
    rng = random.Random(2026)
    keys = [f"region-{i:02d}/item-{j:03d}" for i in range(8) for j in range(40)]
    records = [(rng.choice(keys), rng.uniform(-50.0, 150.0)) for _ in range(40_000)]
    return keys, [records[start::PARTITIONS] for start in range(PARTITIONS)]


def partition_sums(records):
    sums = {}
    for key, amount in records:
        sums[key] = sums.get(key, 0.0) + amount
    return sums


def partial_totals(catalogue, records):
    """Runs in a worker: the partition's sums as an instance with every catalogue key."""
    return catalogue.add(quorvex.QuorDict(partition_sums(records))), os.getpid()


def add_partials(left, right):
    return left.add(right)


def add_dicts(left, right):
    return {key: value + right[key] for key, value in left.items()}


def pairwise(items, combine):
    """Adds neighbours level by level: the same tree whatever `combine` computes with."""
    while len(items) > 1:
        paired = [combine(items[i], items[i + 1]) for i in range(0, len(items) - 1, 2)]
        items = paired + ([items[-1]] if len(items) % 2 else [])
    return items[0]


def main():
    keys, partitions = dataset()
    catalogue = quorvex.QuorDict(dict.fromkeys(keys, 0.0))

    plain_partials = [{key: 0.0 + partition_sums(records).get(key, 0.0) for key in keys} for records in partitions]
    expected = pairwise(plain_partials, add_dicts)
    expected_sum = -0.0
    for value in expected.values():
        expected_sum += value

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        built = [client.submit(partial_totals, catalogue, records, pure=False) for records in partitions]
        pids = {pid for _, pid in client.gather(built, errors="raise")}
        partials = [client.submit(lambda pair: pair[0], future, pure=False) for future in built]
        total = pairwise(partials, lambda left, right: client.submit(add_partials, left, right, pure=False))
        result = total.result(timeout=TIMEOUT_SECONDS)

    problems = []
    if os.getpid() in pids:
        problems.append("the partitions were built in the client process, not in workers")
    if type(result) is not quorvex.QuorDict:
        problems.append(f"the result is a {type(result).__name__}, not a QuorDict")
    else:
        actual = result.to_dict
        if list(actual) != list(expected):
            problems.append("the keys or their order differ from plain Python's")
        differing = [key for key in expected if key in actual and bits(actual[key]) != bits(expected[key])]
        if differing:
            problems.append(f"{len(differing)} values differ from plain Python's, first {differing[0]!r}")
        if bits(result.sum()) != bits(expected_sum):
            problems.append(f"the grand total {result.sum()!r} differs from plain Python's {expected_sum!r}")
    if problems:
        print("dask check failed: " + "; ".join(problems), file=sys.stderr)
        return 1
    print(f"dask check: {len(keys)} keys, {PARTITIONS} partitions built in {len(pids)} worker processes, "
          f"combined pairwise with add: every value matches plain Python bit for bit")
    return 0


if __name__ == "__main__":
    sys.exit(main())
