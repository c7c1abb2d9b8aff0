"""Soak test: a million construct/derive/drop cycles of quorvex.QuorDict with the resident set size checked to stay flat.

Each cycle builds an instance from one of a fixed set of dicts, derives from it
with scalar and aligned operations (same family and a foreign one), reduces,
reads to_dict every few cycles, takes one argument-error path and drops
everything; every PANIC_EVERY cycles it also takes a panic path (a refused
borrow of `other`). The RSS (from /proc/self/statm) is sampled every SAMPLE_EVERY cycles
once the warm-up is over. The run fails when the RSS after the warm-up grows by
more than --bound MiB: a leak of one small block per cycle would add tens of
MiB over a million cycles, while the interpreter's and the allocator's caches
settle during the warm-up.

    python3 scripts/soak.py                    # 1,000,000 cycles
    python3 scripts/soak.py --cycles 200000    # shorter
"""

import argparse
import ctypes
import os
import sys
import time

import quorvex

from script_support import quiet_stderr

QuorDict = quorvex.QuorDict
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20
SAMPLE_EVERY = 10_000
PANIC_EVERY = 1_000


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=float, default=0.1, help="share of the cycles before sampling starts")
    parser.add_argument("--bound", type=float, default=2.0, help="allowed RSS growth after the warm-up, in MiB")
    parser.add_argument("--plant-leak", action="store_true", help="leak one instance per cycle, to see the check fail")
    args = parser.parse_args()

    sources = [{f"key{j}-{size}": float(j) * 0.5 for j in range(size)} for size in (0, 1, 2, 3, 5, 8, 13, 21, 34, 55)]
    foreign = QuorDict({f"key{j}-8": 2.0 for j in range(0, 16, 2)})
    flag_offset = QuorDict.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)
    borrowed = QuorDict({"held": 1.0})
    borrowed_flag = ctypes.c_size_t.from_address(id(borrowed) + flag_offset)
    exclusive = (1 << (8 * ctypes.sizeof(ctypes.c_size_t))) - 1

    warmup = int(args.cycles * args.warmup)
    baseline = None
    samples = []
    panics = 0
    started = time.perf_counter()
    with quiet_stderr():
        for cycle in range(args.cycles):
            source = sources[cycle % len(sources)]
            d = QuorDict(source)
            e = d.add_scalar(cycle)
            f = e.multiply(d, 2.0).subtract(foreign, fill=0.25).divide_scalar(3)
            total = f.sum() + e.product() + d.reset(1.0).add(f).sum()
            if cycle % 7 == 0:
                total += len(f.to_dict)
            try:
                d.add(source)
            except TypeError:
                pass
            if cycle % PANIC_EVERY == 0:
                borrowed_flag.value = exclusive
                try:
                    d.add(borrowed)
                except BaseException as caught:  # noqa: B036 - PanicException is not an Exception
                    if type(caught).__name__ != "PanicException":
                        raise
                    panics += 1
                finally:
                    borrowed_flag.value = 0
            if args.plant_leak:
                ctypes.pythonapi.Py_IncRef(ctypes.py_object(e))
            del d, e, f
            if cycle + 1 == warmup:
                baseline = rss_bytes()
            elif cycle + 1 > warmup and (cycle + 1) % SAMPLE_EVERY == 0:
                samples.append(rss_bytes())
    elapsed = time.perf_counter() - started
    if baseline is None:
        baseline = rss_bytes()
    if not samples:
        samples.append(rss_bytes())

    peak, final = max(samples), samples[-1]
    growth = (peak - baseline) / MIB
    print(f"soak: {args.cycles} cycles ({panics} panics) in {elapsed:.1f} s; RSS after warm-up {baseline / MIB:.1f} MiB, "
          f"peak {peak / MIB:.1f} MiB, final {final / MIB:.1f} MiB ({len(samples)} samples, growth {growth:+.2f} MiB, "
          f"bound {args.bound} MiB)")
    if growth > args.bound:
        print("soak: RSS grew past the bound: something leaks", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
