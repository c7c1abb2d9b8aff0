#!/usr/bin/env python3
"""Times QuorDict against plain dicts, pandas and numpy on the same data, in one process.

Method. Every contender runs the same statement shape: one call whose result is
dropped at once, inside the timed interval, as a program drops a value it no
longer needs; so each call pays for freeing the previous result too. The rounds
of all contenders of a workload alternate (a change of load on a shared machine
falls on all alike); each row gives the best per-call time, the min/median/max
over the rounds, the ratio peer time / quorvex time of the best times (above 1:
quorvex is faster) and, for the workloads that allocate per key, the minor page
faults per call (getrusage ru_minflt deltas over the rounds). The cyclic garbage
collector is off while a round runs.

What is alive in the heap while it times:
- the main table (all workloads, random ASCII keys of 8 to 24 characters): that
  table's dict, its second dict, the QuorDict, pandas and numpy copies of both;
- the read-out table (construction, to_dict and a pipeline: build from a dict,
  five operations, to_dict) runs per key set (ASCII 8-24, 10 characters, mostly
  non-ASCII) in two heap states: "lean", where only that key set's data is
  alive, and "loaded", where the data of every key set and of the main table is
  alive as well, as in a program that keeps other tables around. The state
  matters: a freed result leaves emptied arenas that CPython hands back to the
  system, and the next result faults pages in again.
Memory per key is measured with tracemalloc, which sees the storage of QuorDict
because it lives in CPython's raw allocator.

OpenBLAS: some machines set OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE to work around
old OpenBLAS builds; they slow a current numpy down. Unset both for the benchmark
command alone, never globally:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 benchmarks/run.py --plot benchmarks/results.png
"""

import argparse
import gc
import json
import math
import os
import platform
import random
import resource
import statistics
import string
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd

from quorvex import QuorDict

X = 1.5
FILL = 0.0
ALPHABET = string.ascii_letters + string.digits


def random_keys(rng, n, low=8, high=24):
    keys = set()
    while len(keys) < n:
        keys.add("".join(rng.choices(ALPHABET, k=rng.randint(low, high))))
    return list(keys)


def calls_per_round(fn, min_time):
    """How many calls of `fn` make a round of about `min_time` seconds (at least one)."""
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    return max(1, int(min_time / once) if once > 0 else 1000)


def round_time(fn, number):
    """Per-call time and minor page faults of one round of `number` calls.

    `fn()` is a whole statement: its result is dropped before the next call
    starts, inside the timed interval.
    """
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter()
    for _ in range(number):
        fn()
    elapsed = time.perf_counter() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return elapsed / number, faults


def measure(fns, min_time, repeat):
    """Per-call statistics of each function over `repeat` rounds.

    The rounds of all functions alternate, so that a change of load on the
    machine during the measurement falls on every contender alike. Each result
    is {"time": best, "min", "median", "max": over the rounds, "faults": minor
    page faults per call over all rounds}.
    """
    gc.collect()
    numbers = [calls_per_round(fn, min_time) for fn in fns]
    times = [[] for _ in fns]
    faults = [0] * len(fns)
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            for i, fn in enumerate(fns):
                per_call, round_faults = round_time(fn, numbers[i])
                times[i].append(per_call)
                faults[i] += round_faults
    finally:
        if was_enabled:
            gc.enable()
    return [{"time": min(t), "min": min(t), "median": statistics.median(t), "max": max(t),
             "faults": faults[i] / (numbers[i] * repeat)} for i, t in enumerate(times)]


def best_times(fns, min_time, repeat):
    return [m["time"] for m in measure(fns, min_time, repeat)]


class Data:
    """One table and everything the peers need, built once per size."""

    def __init__(self, n, seed=12345):
        rng = random.Random(seed)
        self.keys = random_keys(rng, n)
        self.values = [rng.uniform(-1e3, 1e3) for _ in range(n)]
        self.d = dict(zip(self.keys, self.values))
        # The second operand of the keyed workload shares half the keys and
        # lists them in another order, so the two indexes never line up.
        half = n // 2
        fresh = [k + "#" for k in self.keys[half:]]
        other_keys = fresh + self.keys[:half]
        rng.shuffle(other_keys)
        self.d2 = {k: rng.uniform(-1e3, 1e3) for k in other_keys}
        self.q = QuorDict(self.d)
        self.q_family = self.q.multiply_scalar(0.5)
        self.q2 = QuorDict(self.d2)
        self.d_family = self.q_family.to_dict
        self.s = pd.Series(self.d)
        self.s2 = pd.Series(self.d2)
        self.s_family = pd.Series(self.d_family)
        self.a = np.array(self.values)
        self.b = self.a * 0.5


def workloads(data):
    """name -> (quorvex callable, {peer name: callable})."""
    d, d2, df, q, q2, qf = data.d, data.d2, data.d_family, data.q, data.q2, data.q_family
    s, s2, sf, a, b = data.s, data.s2, data.s_family, data.a, data.b
    keys, values = data.keys, data.values
    return {
        "construction": (lambda: QuorDict(d), {
            "pd.Series(d)": lambda: pd.Series(d),
            "dict(d)": lambda: dict(d),
        }),
        "to_dict": (lambda: q.to_dict, {
            "s.to_dict()": lambda: s.to_dict(),
            "dict(zip(keys, values))": lambda: dict(zip(keys, values)),
        }),
        "add_scalar": (lambda: q.add_scalar(X), {
            "{k: v + x}": lambda: {k: v + X for k, v in d.items()},
            "s + x": lambda: s + X,
            "a + x": lambda: a + X,
        }),
        "subtract_scalar": (lambda: q.subtract_scalar(X), {
            "{k: v - x}": lambda: {k: v - X for k, v in d.items()},
            "s - x": lambda: s - X,
            "a - x": lambda: a - X,
        }),
        "multiply_scalar": (lambda: q.multiply_scalar(X), {
            "{k: v * x}": lambda: {k: v * X for k, v in d.items()},
            "s * x": lambda: s * X,
            "a * x": lambda: a * X,
        }),
        "divide_scalar": (lambda: q.divide_scalar(X), {
            "{k: v / x}": lambda: {k: v / X for k, v in d.items()},
            "s / x": lambda: s / X,
            "a / x": lambda: a / X,
        }),
        "reset": (lambda: q.reset(X), {
            "{k: x for k in d}": lambda: {k: X for k in d},
            "np.full_like(a, x)": lambda: np.full_like(a, X),
            "a + x": lambda: a + X,
        }),
        "add_family": (lambda: q.add(qf), {
            "{k: v + d2.get(k, fill)}": lambda: {k: v + df.get(k, FILL) for k, v in d.items()},
            "s1 + s2": lambda: s + sf,
            "a + b": lambda: a + b,
        }),
        "add_keyed": (lambda: q.add(q2, FILL), {
            "{k: v + d2.get(k, fill)}": lambda: {k: v + d2.get(k, FILL) for k, v in d.items()},
            "s1 + s2.reindex(s1.index, fill_value=fill)": lambda: s + s2.reindex(s.index, fill_value=FILL),
        }),
        "sum": (lambda: q.sum(), {
            "sum(d.values())": lambda: sum(d.values()),
            "np.cumsum(a)[-1]": lambda: np.cumsum(a)[-1],
            "s.sum()": lambda: s.sum(),
        }),
        "product": (lambda: q.product(), {
            "math.prod(d.values())": lambda: math.prod(d.values()),
            "np.cumprod(a)[-1]": lambda: np.cumprod(a)[-1],
            "s.prod()": lambda: s.prod(),
        }),
    }


# Per-call cost on tiny tables, where the call overhead is what is measured.
SMALL_N = 10


def small_workloads(data):
    q, qf, a, b = data.q, data.q_family, data.a, data.b
    return {
        "small_add_scalar": (lambda: q.add_scalar(X), {"a + x": lambda: a + X}),
        "small_add": (lambda: q.add(qf), {"a + b": lambda: a + b}),
        "small_sum": (lambda: q.sum(), {"np.cumsum(a)[-1]": lambda: np.cumsum(a)[-1]}),
    }


def run_workloads(table, min_time, repeat):
    results = {}
    for name, (ours, peers) in table.items():
        mine, *theirs = measure([ours, *peers.values()], min_time, repeat)
        results[name] = {"quorvex": mine["time"], "quorvex_rounds": mine, "peers": {}}
        for peer, stats in zip(peers, theirs):
            results[name]["peers"][peer] = {**stats, "ratio": stats["time"] / mine["time"]}
    return results


# Key sets of the read-out table. Mostly non-ASCII: three keys in four carry
# letters from beyond ASCII, spread over every UTF-8 length (Latin-1, Greek and
# Cyrillic, CJK, emoji), so that all string kinds and maxchar classes occur.
NON_ASCII_ALPHABETS = [
    ALPHABET,
    ALPHABET + "àáâãäåæçèéêëìíîïñòóôõöøùúûüýÿ",
    ALPHABET + "αβγδεζηθικλμνξοπρστυφχψωабвгдежзийклмнопрстуфхцчшщ",
    "的一是不了人我在有他这为之大来以个中上们到说国和地也子时道出而要于就下得可那",
    ALPHABET + "\U0001F600\U0001F601\U0001F680\U0001F9E1\U00020000\U0002A6D6",
]


def non_ascii_keys(rng, n, low=8, high=24):
    keys = set()
    while len(keys) < n:
        alphabet = ALPHABET if rng.random() < 0.25 else rng.choice(NON_ASCII_ALPHABETS[1:])
        keys.add("".join(rng.choices(alphabet, k=rng.randint(low, high))))
    return list(keys)


KEY_SETS = {
    "ascii 8-24": lambda rng, n: random_keys(rng, n),
    "ascii 10": lambda rng, n: random_keys(rng, n, 10, 10),
    "non-ascii 8-24": non_ascii_keys,
}


def fresh_copy(text):
    # A str the interpreter builds from scratch: nothing cached in it yet (no
    # UTF-8 form, no hash), as for keys a program has just read or made.
    return text.encode("utf-8").decode("utf-8")


class ReadoutData:
    """One key set's table for the read-out workloads: dict, QuorDict, pandas."""

    def __init__(self, make_keys, n, seed=2024):
        rng = random.Random(seed)
        self.keys = make_keys(rng, n)
        self.values = [rng.uniform(-1e3, 1e3) for _ in range(n)]
        self.d = dict(zip(self.keys, self.values))
        # Construction reads keys no other contender has touched, built afresh.
        self.d_fresh = {fresh_copy(k): v for k, v in self.d.items()}
        half = n // 2
        other_keys = [k + "#" for k in self.keys[half:]] + self.keys[:half]
        rng.shuffle(other_keys)
        self.d2 = {k: rng.uniform(-1e3, 1e3) for k in other_keys}
        self.q = QuorDict(self.d)
        self.q2 = QuorDict(self.d2)
        self.s = pd.Series(self.d)
        self.s2 = pd.Series(self.d2)


# The pipeline: build from a dict, five operations (two scalar, one within
# the family, one keyed against another table, one scalar), read out.
def pipeline_quorvex(d, q2):
    q = QuorDict(d)
    r = q.multiply_scalar(1.1).add_scalar(0.5)
    r = r.add(q).subtract(q2, 0.0).divide_scalar(2.0)
    return r.to_dict


def pipeline_pandas(d, s2):
    s = pd.Series(d)
    r = s * 1.1 + 0.5
    r = (r + s - s2.reindex(r.index, fill_value=0.0)) / 2.0
    return r.to_dict()


def pipeline_comprehensions(d, d2):
    r = {k: v * 1.1 for k, v in d.items()}
    r = {k: v + 0.5 for k, v in r.items()}
    r = {k: v + d[k] for k, v in r.items()}
    r = {k: v - d2.get(k, 0.0) for k, v in r.items()}
    return {k: v / 2.0 for k, v in r.items()}


def readout_workloads(data):
    d, d_fresh, d2, q, q2, s, s2 = data.d, data.d_fresh, data.d2, data.q, data.q2, data.s, data.s2
    keys, values = data.keys, data.values
    return {
        "construction": (lambda: QuorDict(d_fresh), {
            "pd.Series(d)": lambda: pd.Series(d_fresh),
            "dict(d)": lambda: dict(d_fresh),
        }),
        "to_dict": (lambda: q.to_dict, {
            "s.to_dict()": lambda: s.to_dict(),
            "dict(zip(keys, values))": lambda: dict(zip(keys, values)),
        }),
        "pipeline": (lambda: pipeline_quorvex(d, q2), {
            "pandas": lambda: pipeline_pandas(d, s2),
            "comprehensions": lambda: pipeline_comprehensions(d, d2),
        }),
    }


def check_pipelines_agree(data):
    """The three pipelines compute the same dict (a benchmark of a wrong answer says nothing)."""
    ours = pipeline_quorvex(data.d, data.q2)
    if not (ours == pipeline_comprehensions(data.d, data.d2) == pipeline_pandas(data.d, data.s2)):
        raise SystemExit("the pipelines disagree")
    if list(ours) != data.keys:
        raise SystemExit("quorvex pipeline keys out of storage order")


READOUT_WORKLOADS = ["construction", "to_dict", "pipeline"]


def readout(n, min_time, repeat, key_sets, states, log, ballast, only=READOUT_WORKLOADS):
    """{state: {key set: results}}; `ballast` is kept alive in the loaded state."""

    def run_readout(data):
        return run_workloads({k: v for k, v in readout_workloads(data).items() if k in only}, min_time, repeat)

    out = {}
    if "lean" in states:
        out["lean"] = {}
        for name in key_sets:
            log(f"read-out, lean heap: {name}, n = {n}")
            data = ReadoutData(KEY_SETS[name], n)
            if "pipeline" in only:
                check_pipelines_agree(data)
            out["lean"][name] = run_readout(data)
            del data
            gc.collect()
    if "loaded" in states:
        log(f"read-out, loaded heap: building every key set, n = {n}")
        alive = {name: ReadoutData(KEY_SETS[name], n) for name in key_sets}
        alive["ballast"] = ballast()
        out["loaded"] = {}
        for name in key_sets:
            log(f"read-out, loaded heap: {name}")
            out["loaded"][name] = run_readout(alive[name])
        del alive
        gc.collect()
    return out


# (workload, peer, least ratio peer time / quorvex time) at the default n.
TARGETS = [
    ("construction", "pd.Series(d)", 4.0),
    ("to_dict", "s.to_dict()", 2.5),
    ("to_dict", "dict(zip(keys, values))", 1.0),
    *[(op, peer, least) for op, sign in [("add_scalar", "+"), ("subtract_scalar", "-"), ("multiply_scalar", "*"),
                                         ("divide_scalar", "/")]
      for peer, least in [(f"{{k: v {sign} x}}", 50.0), (f"a {sign} x", 0.9)]],
    ("reset", "{k: x for k in d}", 50.0),
    ("reset", "a + x", 0.9),
    ("add_family", "a + b", 0.9),
    ("add_keyed", "{k: v + d2.get(k, fill)}", 10.0),
    ("add_keyed", "s1 + s2.reindex(s1.index, fill_value=fill)", 3.0),
    ("sum", "sum(d.values())", 2.5),
    ("sum", "np.cumsum(a)[-1]", 1.0),
    ("product", "math.prod(d.values())", 2.5),
    ("product", "np.cumprod(a)[-1]", 1.0),
    ("small_add_scalar", "a + x", 2.0),
    ("small_add", "a + b", 2.0),
    ("small_sum", "np.cumsum(a)[-1]", 2.0),
]
MEMORY_TARGETS = [("quorvex_index_and_values", 40.0), ("quorvex_after_to_dict", 40.0), ("quorvex_derived", 8.1)]
# (workload, peer, least ratio) for every key set and heap state of the read-out
# table; a dict gives the least ratio by the key set's first word.
READOUT_TARGETS = [
    ("construction", "pd.Series(d)", {"ascii": 4.0, "non-ascii": 3.0}),
    ("to_dict", "dict(zip(keys, values))", 1.0),
    ("to_dict", "s.to_dict()", 2.5),
    ("pipeline", "pandas", 3.0),
    ("pipeline", "comprehensions", 3.0),
]


def check_targets(report, memory=True):
    rows = {**report["workloads"], **report["small"]}
    checked = []
    for workload, peer, least in TARGETS:
        if workload in rows and peer in rows[workload]["peers"]:
            ratio = rows[workload]["peers"][peer]["ratio"]
            checked.append({"workload": workload, "peer": peer, "target": f">= {least}x", "value": ratio,
                            "met": ratio >= least})
    for state, key_sets in report.get("readout", {}).items():
        for key_set, rows in key_sets.items():
            for workload, peer, least in [t for t in READOUT_TARGETS if t[0] in rows]:
                least = least[key_set.split()[0]] if isinstance(least, dict) else least
                ratio = rows[workload]["peers"][peer]["ratio"]
                checked.append({"workload": f"{workload} ({key_set}, {state})", "peer": peer,
                                "target": f">= {least}x", "value": ratio, "met": ratio >= least})
    for name, most in MEMORY_TARGETS if memory else []:
        value = report["memory"][name]
        checked.append({"workload": "memory", "peer": name, "target": f"<= {most} B/key", "value": value,
                        "met": value <= most})
    return checked


def traced_bytes(make):
    """Bytes still allocated after `make()` returns, with the result kept alive."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        kept = make()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    del kept
    return after - before


def read_once(q):
    q.to_dict
    return q


def memory(n):
    """Bytes per key for 10-character keys, for quorvex and its peers."""
    rng = random.Random(7)
    keys = random_keys(rng, n, 10, 10)
    d = {k: rng.random() for k in keys}
    q = QuorDict(d)
    return {
        "n": n,
        "key_length": 10,
        # Index and values: what QuorDict(d) keeps beyond the dict it reads.
        "quorvex_index_and_values": traced_bytes(lambda: QuorDict(d)) / n,
        "quorvex_derived": traced_bytes(lambda: q.add_scalar(X)) / n,
        # The same after a to_dict whose result is dropped: nothing is cached.
        "quorvex_after_to_dict": traced_bytes(lambda: read_once(QuorDict(d))) / n,
        # The peers own their key and float objects, so build them from scratch.
        "dict": traced_bytes(lambda: {k.encode().decode(): float(v) + 0.0 for k, v in d.items()}) / n,
        "pd.Series": traced_bytes(lambda: pd.Series({k.encode().decode(): v for k, v in d.items()})) / n,
    }


SCALING_OPS = {
    "construction": ("QuorDict(d)", "pd.Series(d)"),
    "to_dict": ("q.to_dict", "s.to_dict()"),
    "add_scalar": ("q.add_scalar(x)", "a + x"),
    "add_family": ("q.add(q_family)", "a + b"),
    "add_keyed": ("q.add(q2)", "{k: v + d2.get(k, fill)}"),
    "sum": ("q.sum()", "np.cumsum(a)[-1]"),
}


def scaling(sizes, min_time, repeat, log):
    out = {name: {"n": [], "quorvex": [], "peer": [], "peer_name": peer} for name, (_, peer) in SCALING_OPS.items()}
    for n in sizes:
        log(f"scaling: n = {n}")
        data = Data(n)
        table = workloads(data)
        for name, (_, peer) in SCALING_OPS.items():
            ours, peers = table[name]
            mine, theirs = best_times([ours, peers[peer]], min_time, repeat)
            out[name]["n"].append(n)
            out[name]["quorvex"].append(mine)
            out[name]["peer"].append(theirs)
        del data, table
    for series in out.values():
        per_key = [t / n for t, n in zip(series["quorvex"], series["n"]) if n >= 1000]
        series["per_key_max_over_min_from_1000"] = max(per_key) / min(per_key) if per_key else None
    return out


def plot(scale, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = 3
    rows = (len(scale) + columns - 1) // columns
    fig, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.6 * rows), sharex=True, squeeze=False)
    for ax in axes.flat[len(scale):]:
        ax.set_visible(False)
    for ax, (name, series) in zip(axes.flat, scale.items()):
        ax.loglog(series["n"], series["quorvex"], "o-", label="quorvex")
        ax.loglog(series["n"], series["peer"], "s--", label=series["peer_name"])
        ax.set_title(name)
        ax.set_xlabel("n (keys)")
        ax.set_ylabel("time per call (s)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.suptitle("QuorDict vs its closest peer, best of several runs (log-log)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def machine():
    info = {"python": sys.version.split()[0], "numpy": np.__version__, "pandas": pd.__version__,
            "platform": platform.platform(), "processor": platform.processor(), "cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            names = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
        info["cpu"] = names[0] if names else None
    except OSError:
        pass
    info["openblas_env"] = {k: os.environ[k] for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ}
    return info


def print_table(results, n, out, title="best time per call"):
    print(f"\nn = {n}: {title}; median and min-max over the rounds; minor page faults per call; "
          "ratio = peer time / quorvex time", file=out)
    print(f"{'workload':<16} {'contender':<44} {'best':>10} {'median':>10} {'min-max':>19} {'faults':>8} "
          f"{'ratio':>8}", file=out)

    def ms(t):
        return f"{t * 1e6:.2f}us" if t < 1e-4 else f"{t * 1e3:.3f}ms" if t < 0.1 else f"{t * 1e3:.1f}ms"

    for name, row in results.items():
        mine = row["quorvex_rounds"]
        lines = [("quorvex", mine, "")] + [(peer, p, f"{p['ratio']:.2f}x") for peer, p in row["peers"].items()]
        for i, (who, p, ratio) in enumerate(lines):
            spread = f"{ms(p['min'])}-{ms(p['max'])}"
            print(f"{name if i == 0 else '':<16} {who:<44} {ms(p['time']):>10} {ms(p['median']):>10} "
                  f"{spread:>19} {p['faults']:>8.0f} {ratio:>8}", file=out)


def print_readout(report, out):
    print("\nread-out table: construction from a dict of fresh keys, to_dict, and the pipeline "
          "(build, five operations, read out)", file=out)
    for state, key_sets in report["readout"].items():
        for key_set, rows in key_sets.items():
            print_table(rows, report["n"], out, f"{key_set} keys, {state} heap")


def print_targets(report, out):
    print(f"\ntargets (set for n = 10^6; this run: n = {report['n']}):", file=out)
    for t in report["targets"]:
        print(f"  {'met   ' if t['met'] else 'MISSED'} {t['workload']:<38} {t['peer']:<44} {t['target']:<14} "
              f"{t['value']:.2f}", file=out)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10**6, help="table size for the main table (default 10^6)")
    parser.add_argument("--quick", action="store_true", help="small sizes and few repeats: a smoke run")
    parser.add_argument("--json", action="store_true", help="print the results as JSON on stdout")
    parser.add_argument("--plot", metavar="FILE.png", help="time vs n from 10 to --max-n, log-log")
    parser.add_argument("--max-n", type=int, default=10**6, help="largest n of the scaling run (default 10^6)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds per measurement; the best counts")
    parser.add_argument("--only", nargs="+", metavar="WORKLOAD", help="run these workloads of the main table only")
    parser.add_argument("--readout-only", action="store_true",
                        help="run the read-out table only (construction, to_dict, pipeline) at --n")
    parser.add_argument("--key-sets", nargs="+", choices=list(KEY_SETS), default=list(KEY_SETS),
                        help="key sets of the read-out table (default: all)")
    parser.add_argument("--readout-workloads", nargs="+", choices=READOUT_WORKLOADS, default=READOUT_WORKLOADS,
                        help="workloads of the read-out table (default: all)")
    parser.add_argument("--states", nargs="+", choices=["lean", "loaded"], default=["lean", "loaded"],
                        help="heap states of the read-out table (default: both)")
    args = parser.parse_args(argv)

    # Products of many values overflow to infinity; that is the same work for
    # every contender and not worth a warning.
    np.seterr(over="ignore")
    n = 2000 if args.quick else args.n
    min_time = 0.002 if args.quick else 0.2
    repeat = 2 if args.quick else args.repeat
    max_n = 10**4 if args.quick else args.max_n
    log = (lambda msg: print(msg, file=sys.stderr)) if args.json else (lambda msg: print(msg))

    if args.readout_only:
        report = {"machine": machine(), "n": n,
                  "readout": readout(n, min_time, repeat, args.key_sets, args.states, log, lambda: Data(n),
                                     args.readout_workloads)}
        report["targets"] = [t for t in check_targets({"workloads": {}, "small": {}, "memory": {},
                                                        "readout": report["readout"]}, memory=False)]
        if args.json:
            json.dump(report, sys.stdout, indent=1)
            print()
        else:
            print_readout(report, sys.stdout)
            print_targets(report, sys.stdout)
        return 0

    log(f"building tables of {n} keys")
    data = Data(n)
    table = workloads(data)
    if args.only:
        table = {name: table[name] for name in args.only}
    results = run_workloads(table, min_time, repeat)
    if args.only:
        print_table(results, n, sys.stdout)
        return 0
    del table
    # The loaded heap holds the main table's data beside every key set's.
    loaded = readout(n, min_time, repeat, args.key_sets, [s for s in args.states if s == "loaded"], log,
                     lambda: data)
    del data
    gc.collect()
    lean = readout(n, min_time, repeat, args.key_sets, [s for s in args.states if s == "lean"], log, None)
    small = run_workloads(small_workloads(Data(SMALL_N)), min_time, repeat)
    report = {
        "machine": machine(),
        "n": n,
        "workloads": results,
        "readout": {**lean, **loaded},
        "small_n": SMALL_N,
        "small": small,
        "memory": memory(2000 if args.quick else 10**6),
    }
    report["targets"] = check_targets(report)
    if args.plot or args.quick:
        sizes = [10**e for e in range(1, 8) if 10**e <= max_n]
        report["scaling"] = scaling(sizes, min_time / 4, repeat, log)
        if args.plot:
            plot(report["scaling"], args.plot)
            log(f"plot written to {args.plot}")

    if args.json:
        json.dump(report, sys.stdout, indent=1)
        print()
        return 0
    out = sys.stdout
    print_table(results, n, out)
    print_table(small, SMALL_N, out)
    m = report["memory"]
    print(f"\nmemory, bytes per key ({m['n']} keys of {m['key_length']} characters, tracemalloc):", file=out)
    for k, v in m.items():
        if k not in ("n", "key_length"):
            print(f"  {k:<28} {v:8.2f}", file=out)
    print_readout(report, out)
    print_targets(report, out)
    if "scaling" in report:
        print("\nscaling: time per key (ns), quorvex and its peer, n = " + ", ".join(str(k) for k in
              next(iter(report["scaling"].values()))["n"]), file=out)
        for name, series in report["scaling"].items():
            for who, label in (("quorvex", name), ("peer", series["peer_name"])):
                cells = " ".join(f"{t / k * 1e9:8.2f}" for t, k in zip(series[who], series["n"]))
                print(f"  {label[:24]:<24} {cells}", file=out)
            print(f"  {'':<24} quorvex per key, max/min from 10^3: {series['per_key_max_over_min_from_1000']:.2f}",
                  file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
