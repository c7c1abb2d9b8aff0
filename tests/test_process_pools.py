"""Instances through concurrent.futures process pools under every start method: sent to workers, derived there, and sent back equal bit for bit to the same derivation done here."""

import multiprocessing
import operator
from concurrent.futures import ProcessPoolExecutor

import pytest

from quorvex import QuorDict
from test_pickle import EDGE_SOURCE, ORDERED_SOURCE, contents

START_METHODS = [method for method in ("fork", "spawn", "forkserver")
                 if method in multiprocessing.get_all_start_methods()]


@pytest.mark.parametrize("method", START_METHODS)
def test_workers_derive_the_same_bits(method):
    base, other = QuorDict(EDGE_SOURCE), QuorDict(dict(reversed(ORDERED_SOURCE.items())))
    ordered = QuorDict(ORDERED_SOURCE)
    # Standard-library callables only: a spawned worker need not import this test module.
    derivations = [
        operator.methodcaller("multiply_scalar", 3.0),
        operator.methodcaller("add", other, fill=0.25),
        operator.methodcaller("divide", base),
    ]
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context(method)) as pool:
        futures = [(derive, source, pool.submit(derive, source)) for derive in derivations for source in (base, ordered)]
        for derive, source, future in futures:
            assert contents(future.result(timeout=120)) == contents(derive(source)), (derive, method)
