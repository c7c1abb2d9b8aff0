#!/usr/bin/env python3
"""Times QuorDict against plain dicts, pandas and numpy on the same data, in one process.

Each workload runs quorvex and its peers on one table of random ASCII keys
(8 to 24 characters) and random floats, takes the best of several repeats, and
prints the times with the ratio peer time / quorvex time (above 1: quorvex is
faster). Memory per key is measured with tracemalloc, which sees the storage of
QuorDict because it lives in CPython's raw allocator.

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
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def best_times(fns, min_time, repeat):
    """Best per-call time of each function over `repeat` rounds.

    The rounds of all functions alternate, so that a change of load on the
    machine during the measurement falls on every contender alike.
    """
    gc.collect()
    numbers = [calls_per_round(fn, min_time) for fn in fns]
    best = [math.inf] * len(fns)
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat):
            for i, fn in enumerate(fns):
                best[i] = min(best[i], round_time(fn, numbers[i]))
    finally:
        if was_enabled:
            gc.enable()
    return best


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
        mine, *theirs = best_times([ours, *peers.values()], min_time, repeat)
        results[name] = {"quorvex": mine, "peers": {}}
        for peer, time_ in zip(peers, theirs):
            results[name]["peers"][peer] = {"time": time_, "ratio": time_ / mine}
    return results


# (workload, peer, least ratio peer time / quorvex time) at the default n.
TARGETS = [
    ("construction", "pd.Series(d)", 3.0),
    ("to_dict", "s.to_dict()", 2.0),
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
MEMORY_TARGETS = [("quorvex_index_and_values", 40.0), ("quorvex_derived", 8.1)]


def check_targets(report):
    rows = {**report["workloads"], **report["small"]}
    checked = []
    for workload, peer, least in TARGETS:
        if workload in rows and peer in rows[workload]["peers"]:
            ratio = rows[workload]["peers"][peer]["ratio"]
            checked.append({"workload": workload, "peer": peer, "target": f">= {least}x", "value": ratio,
                            "met": ratio >= least})
    for name, most in MEMORY_TARGETS:
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


def print_table(results, n, out):
    print(f"\nn = {n}: best time per call; ratio = peer time / quorvex time", file=out)
    print(f"{'workload':<17} {'quorvex':>11}  {'peer':<44} {'peer time':>11} {'ratio':>9}", file=out)
    for name, row in results.items():
        first = True
        for peer, p in row["peers"].items():
            ours = f"{row['quorvex'] * 1e3:9.3f}ms" if first else ""
            print(f"{name if first else '':<17} {ours:>11}  {peer:<44} {p['time'] * 1e3:9.3f}ms {p['ratio']:8.2f}x",
                  file=out)
            first = False


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10**6, help="table size for the main table (default 10^6)")
    parser.add_argument("--quick", action="store_true", help="small sizes and few repeats: a smoke run")
    parser.add_argument("--json", action="store_true", help="print the results as JSON on stdout")
    parser.add_argument("--plot", metavar="FILE.png", help="time vs n from 10 to --max-n, log-log")
    parser.add_argument("--max-n", type=int, default=10**6, help="largest n of the scaling run (default 10^6)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds per measurement; the best counts")
    parser.add_argument("--only", nargs="+", metavar="WORKLOAD", help="run these workloads of the main table only")
    args = parser.parse_args(argv)

    # Products of many values overflow to infinity; that is the same work for
    # every contender and not worth a warning.
    np.seterr(over="ignore")
    n = 2000 if args.quick else args.n
    min_time = 0.002 if args.quick else 0.2
    repeat = 2 if args.quick else args.repeat
    max_n = 10**4 if args.quick else args.max_n
    log = (lambda msg: print(msg, file=sys.stderr)) if args.json else (lambda msg: print(msg))

    log(f"building tables of {n} keys")
    data = Data(n)
    table = workloads(data)
    if args.only:
        table = {name: table[name] for name in args.only}
    results = run_workloads(table, min_time, repeat)
    del data, table
    if args.only:
        print_table(results, n, sys.stdout)
        return 0
    small = run_workloads(small_workloads(Data(SMALL_N)), min_time, repeat)
    report = {
        "machine": machine(),
        "n": n,
        "workloads": results,
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
    print(f"\ntargets (set for n = 10^6 and 10-character keys; this run: n = {n}, {report['memory']['n']} keys):",
          file=out)
    for t in report["targets"]:
        print(f"  {'met   ' if t['met'] else 'MISSED'} {t['workload']:<17} {t['peer']:<44} {t['target']:<14} "
              f"{t['value']:.2f}", file=out)
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
