"""Instances through concurrent.futures process pools under every start method: sent to workers, derived there, and sent back equal bit for bit to the same derivation done here; and the standard-library example of the pattern."""

import multiprocessing
import operator
import os
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

from quorvex import QuorDict
from test_pickle import EDGE_SOURCE, ORDERED_SOURCE, contents

ROOT = Path(__file__).resolve().parent.parent
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


def test_parallel_example_matches_plain_python():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "parallel.py")], env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.rstrip().endswith("records: matches plain Python")
