"""Eight threads share instances and run random operations on them, with conversions that hand the interpreter lock to other threads mid-call; every result must match the model and every borrow flag must stay sane and end at 0."""

import ctypes
import os
import random
import sys
import threading
import time
import traceback

import pytest

import quorvex
from model import Model

QuorDict = quorvex.QuorDict
WORD = ctypes.sizeof(ctypes.c_size_t)
THREADS = 8
OPS_PER_THREAD = 40_000 if os.environ.get("QUORVEX_SLOW") == "1" else 5_000
POOL_SIZE = 24
KEYS = ["a", "b", "c", "d", "é", "", "k\0", "日本"]
SCALAR = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]
ALIGNED = ["add", "subtract", "multiply", "divide"]


def flag(instance):
    return ctypes.c_size_t.from_address(id(instance) + QuorDict.__basicsize__ - WORD)


class Yielding:
    """A number whose conversion lets other threads run, and sometimes calls the module itself."""

    def __init__(self, value, reenter):
        self.value, self.reenter = value, reenter

    def __float__(self):
        time.sleep(0)
        if self.reenter is not None:
            inner = self.reenter.add_scalar(1.0)
            inner.add(self.reenter).sum()
        return self.value


class Worker:
    def __init__(self, seed, pool, pool_lock, model_lock, errors):
        self.rng = random.Random(seed)
        self.pool, self.pool_lock, self.model_lock, self.errors = pool, pool_lock, model_lock, errors
        self.done = 0

    def number(self):
        # Quarters of small integers: sums stay exact in any order, products too for a few keys.
        x = self.rng.randrange(-16, 17) / 4
        if self.rng.random() < 0.3:
            with self.pool_lock:
                other = self.rng.choice(self.pool)[0] if self.rng.random() < 0.5 else None
            return Yielding(x, other), x
        return x, x

    def pick(self):
        with self.pool_lock:
            return self.rng.choice(self.pool)

    def put(self, pair):
        with self.pool_lock:
            if len(self.pool) >= POOL_SIZE:
                # The dropped instance may be freed here or on whichever thread drops its last reference.
                self.pool.pop(self.rng.randrange(len(self.pool)))
            self.pool.append(pair)

    def compare(self, real, modelled, what):
        problems = modelled.mismatches(real.to_dict)
        assert not problems, f"{what}: {problems}"

    def step(self):
        kind = self.rng.randrange(6)
        if kind == 0:
            keys = self.rng.sample(KEYS, self.rng.randrange(0, 6))
            converted = {}
            source = {}
            for key in keys:
                source[key], converted[key] = self.number()
            real, modelled = QuorDict(source), Model(converted)
            self.compare(real, modelled, f"QuorDict({converted})")
            self.put((real, modelled))
        elif kind == 1:
            real, modelled = self.pick()
            method = self.rng.choice(SCALAR)
            argument, x = self.number()
            result = getattr(real, method)(argument)
            derived = getattr(modelled, method)(x)
            self.compare(result, derived, method)
            self.put((result, derived))
        elif kind == 2:
            (a, ma), (b, mb) = self.pick(), self.pick()
            method = self.rng.choice(ALIGNED)
            if self.rng.random() < 0.5:
                fill, x = self.number()
                forward, backward = getattr(a, method)(b, fill), getattr(b, method)(a, fill=fill)
            else:
                x = None
                forward, backward = getattr(a, method)(b), getattr(b, method)(a)
            expected = ma.aligned(method, mb, x)
            self.compare(forward, expected, f"a.{method}(b)")
            self.compare(backward, mb.aligned(method, ma, x), f"b.{method}(a)")
            self.put((forward, expected))
        elif kind == 3:
            real, modelled = self.pick()
            self.compare(real, modelled, "to_dict")
        elif kind == 4:
            real, modelled = self.pick()
            name = self.rng.choice(["sum", "product"])
            got = getattr(real, name)()
            # The model narrows the family's possible storage orders: one thread at a time.
            with self.model_lock:
                assert modelled.reduction_fits(name, got) is not False, f"{name}() = {got!r} for {modelled.to_dict()}"
        else:
            with self.pool_lock:
                if len(self.pool) > 2:
                    self.pool.pop(self.rng.randrange(len(self.pool)))

    def run(self):
        try:
            for _ in range(OPS_PER_THREAD):
                self.step()
                self.done += 1
        except BaseException:  # noqa: B036 - reported by the test, whatever it is
            self.errors.append(traceback.format_exc())


def watch_flags(pool, pool_lock, stop, seen):
    """Samples borrow flags while the workers run: each is a small count, never the exclusive mark."""
    while not stop.is_set():
        with pool_lock:
            instances = [real for real, _ in pool]
        seen.extend(flag(real).value for real in instances)
        time.sleep(0.001)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_eight_threads_share_instances(fast_switching):
    start = {"a": 1.0, "b": -2.0, "é": 0.5}
    pool = [(QuorDict(start), Model(start)), (QuorDict({"b": 4.0, "x": 3.0}), Model({"b": 4.0, "x": 3.0}))]
    pool_lock, model_lock, errors, stop, seen = threading.Lock(), threading.Lock(), [], threading.Event(), []
    workers = [Worker(1000 + i, pool, pool_lock, model_lock, errors) for i in range(THREADS)]
    threads = [threading.Thread(target=w.run, name=f"worker-{i}") for i, w in enumerate(workers)]
    watcher = threading.Thread(target=watch_flags, args=(pool, pool_lock, stop, seen))
    watcher.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    watcher.join()

    assert errors == []
    assert sum(w.done for w in workers) == THREADS * OPS_PER_THREAD
    # A call is suspended only inside a conversion, holding one shared borrow:
    # at most one per thread at any moment another thread can look.
    assert seen and max(seen) <= THREADS
    assert [flag(real).value for real, _ in pool] == [0] * len(pool)
