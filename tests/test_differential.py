"""Seeded random runs of QuorDict against the pure-Python model in model.py, compared bit for bit."""

import math
import random
import threading

import pytest

import quorvex
from model import Model, from_bits

QuorDict = quorvex.QuorDict

KEYS = ["", "a", "b", "c", "d", "e", "key", "Key", "\x00", "a\x00", "é", "e\u0301", "日本語", "\U0001F600",
        "long-" * 20, " ", "0", "1.0"]
EDGE_VALUES = [0.0, -0.0, math.inf, -math.inf, math.nan, from_bits(0x7FF800000000BEEF),
                  from_bits(0xFFF8000000000042), from_bits(0x7FF0000000000007), 5e-324, -5e-324,
                  1.7976931348623157e308, 1e-308, 1.0, -1.0, 2.0, 0.5, 3.0, 1e16]
SCALAR_METHODS = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]
ALIGNED_METHODS = ["add", "subtract", "multiply", "divide"]


def random_value(rng):
    pick = rng.random()
    if pick < 0.35:
        return rng.choice(EDGE_VALUES)
    if pick < 0.7:
        return float(rng.randint(-8, 8)) / rng.choice([1, 2, 4])
    return rng.uniform(-1e3, 1e3) * 10.0 ** rng.randint(-30, 30)


def random_source(rng):
    size = rng.choice([0, 1, 2, 3, 4, 5, 5, 6, 8, 12, 18])
    source = {key: random_value(rng) for key in rng.sample(KEYS, min(size, len(KEYS)))}
    if rng.random() < 0.2:
        source[rng.choice(KEYS)] = rng.choice([1, True, -3])  # non-float values
    return source


def check(real, model, what):
    problems = model.mismatches(real.to_dict)
    assert not problems, f"{what}: " + "; ".join(problems)


@pytest.mark.parametrize("seed", range(8))
def test_random_operations_match_the_model(seed):
    rng = random.Random(seed)
    live = []  # (real, model, family id)
    decided = undecided = 0

    def add_root():
        source = random_source(rng)
        if live and rng.random() < 0.3:
            source = live[rng.randrange(len(live))][1].to_dict()  # same keys, separately indexed
        real, model = QuorDict(source), Model(source)
        check(real, model, f"QuorDict({source!r})")
        live.append((real, model, object()))

    for _ in range(4):
        add_root()
    for step in range(2000):
        action = rng.random()
        if action < 0.08 or not live:
            add_root()
            continue
        real, model, family = rng.choice(live)
        if action < 0.4:
            name, scalar = rng.choice(SCALAR_METHODS), random_value(rng)
            result = getattr(real, name)(scalar) if rng.random() < 0.5 else getattr(real, name)(value=scalar)
            expected = getattr(model, name)(scalar)
            what = f"step {step}: {name}({scalar!r}) on {model.to_dict()!r}"
        elif action < 0.8:
            relatives = [entry for entry in live if entry[2] is family]
            o_real, o_model, _ = rng.choice(relatives if rng.random() < 0.5 else live)
            name = rng.choice(ALIGNED_METHODS)
            form = rng.randrange(3)
            fill = random_value(rng)
            if form == 0:
                result, expected = getattr(real, name)(o_real), getattr(model, name)(o_model)
            elif form == 1:
                result, expected = getattr(real, name)(o_real, fill), getattr(model, name)(o_model, fill)
            else:
                result, expected = getattr(real, name)(other=o_real, fill=fill), getattr(model, name)(o_model, fill)
            what = f"step {step}: {name} form {form} fill {fill!r} of {model.to_dict()!r} with {o_model.to_dict()!r}"
        else:
            for kind in ("sum", "product"):
                verdict = model.reduction_fits(kind, getattr(real, kind)())
                assert verdict is not False, f"step {step}: {kind} of {model.to_dict()!r}"
                decided += verdict is not None
                undecided += verdict is None
            continue
        check(result, expected, what)
        check(real, model, f"{what}: receiver changed")
        live.append((result, expected, family))
        if len(live) > 40:
            live.pop(rng.randrange(len(live)))
    assert decided > 3 * undecided
    for real, model, _ in live:
        check(real, model, "at the end")


def test_table_sizes_across_capacity_boundaries():
    rng = random.Random(99)
    for n in [*range(70), 127, 128, 129, 255, 256, 257, 1023, 1024, 1025, 4097]:
        source = {"k" * rng.randint(0, 30) + str(i): rng.choice(EDGE_VALUES) for i in range(n)}
        half = {k: random_value(rng) for k in list(source)[::2]} | {f"x{i}": 5.0 for i in range(n % 5)}
        real, model = QuorDict(source), Model(source)
        real_half, model_half = QuorDict(half), Model(half)
        check(real, model, f"{n} keys")
        check(real.multiply(real_half, -1.0), model.multiply(model_half, -1.0), f"{n} keys times half")
        check(real_half.subtract(real), model_half.subtract(model), f"half of {n} keys minus all")


def test_instances_built_on_other_threads_align_by_key():
    # Every thread seeds its own tables, so these indexes share no hashing.
    rng = random.Random(7)
    sources = [random_source(rng) | {k: float(i) for i, k in enumerate(KEYS[:6])} for _ in range(8)]
    built = [None] * len(sources)

    def build(i):
        built[i] = QuorDict(sources[i])

    threads = [threading.Thread(target=build, args=(i,)) for i in range(len(sources))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    models = [Model(source) for source in sources]
    for i in range(len(sources)):
        j = (i + 1) % len(sources)
        check(built[i].subtract(built[j], 0.5), models[i].subtract(models[j], 0.5), f"thread {i} minus thread {j}")
