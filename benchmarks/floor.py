#!/usr/bin/env python3
"""A lower bound on a read-out workload's time, from the interpreter's share of it.

to_dict hands back a new dict of new str and float objects. Creating them,
hashing each new str, inserting the pairs and freeing the previous result
(which a program, and benchmarks/run.py, drops once it is done with it) are
the interpreter's own work, in its allocator, its dict and its str hash, plus
the kernel's page faults when the allocator takes memory back from the
system. However fast the module's own code were, to_dict would take at least
that part of its time. The same holds for the pipeline (construction walks
the dict through the interpreter, every step allocates an instance, and the
pipeline ends in to_dict) and for construction.

This script times a workload of benchmarks/run.py's read-out table (to_dict
by default) and its peers the way run.py does (best per-call time of
alternating rounds, each result dropped inside the timed statement, the key
set's data alone in the heap), then samples a loop of the workload with
`perf record` in a child process and counts the samples that fall in the
interpreter, the C library and the kernel (samples anywhere else only lower
the bound). It prints that share, the time it stands for, and for each peer
the best ratio peer time / our time that any code of ours could reach while
the interpreter does its part as measured:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 benchmarks/floor.py --n 10000 --key-set "non-ascii 8-24"
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 benchmarks/floor.py --n 10000 --workload pipeline

Needs `perf` (Debian's linux-perf) allowed to sample this user's processes.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the benchmark's key sets, workloads and timing method)


def workload(key_set, n, name):
    """The key set's read-out data, built as run.py builds it, and the named
    workload of its read-out table: (ours, {peer name: peer})."""
    return run.readout_workloads(run.ReadoutData(run.KEY_SETS[key_set], n))[name]


def loop(key_set, n, name, seconds):
    """The child's work: the workload again and again, each result dropped.
    It says "ready" once its data is built, so that only the loop is sampled."""
    ours, _ = workload(key_set, n, name)
    print("ready", flush=True)
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(max(1, 100_000 // n)):
            ours()


# Where the interpreter's part of the work runs. A shared libpython of 3.13 and
# later reaches its thread state through the dynamic linker's __tls_get_addr on
# its allocations and frees (the module's own thread-local reads are a few a call).
INTERPRETER_OBJECTS = ("libpython", "python3", "libc.so", "libc-", "ld-linux", "[kernel")


def interpreter_share(key_set, n, name, seconds):
    """Percentage of the child's loop samples in the interpreter, libc and the kernel."""
    with tempfile.TemporaryDirectory() as scratch:
        data = os.path.join(scratch, "perf.data")
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--loop", "--n", str(n),
                                  "--key-set", key_set, "--workload", name, "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True,
                                 # numpy's thread pool would spin beside the loop.
                                 env={**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
        if child.stdout.readline().strip() != "ready":
            sys.exit("the sampled child did not start")
        # perf stops when the child ends.
        recorder = subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "2000", "-o", data,
                                     "-p", str(child.pid)])
        if child.wait() != 0 or recorder.wait() != 0:
            sys.exit("the sampled loop or perf failed")
        report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--sort", "dso"],
                                check=True, capture_output=True, text=True).stdout
    shares = {}
    for line in report.splitlines():
        match = re.match(r"\s*([\d.]+)%\s+(\S+)", line)
        if match:
            shares[match.group(2)] = float(match.group(1))
    if not shares:
        sys.exit("perf recorded no samples: " + report)
    return sum(share for dso, share in shares.items() if dso.startswith(INTERPRETER_OBJECTS)), shares


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=10_000)
    parser.add_argument("--key-set", choices=list(run.KEY_SETS), default="ascii 8-24")
    parser.add_argument("--workload", choices=["to_dict", "pipeline", "construction"], default="to_dict")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the sampled loop")
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds; the best counts")
    parser.add_argument("--loop", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.loop:
        loop(args.key_set, args.n, args.workload, args.seconds)
        return

    ours, peers = workload(args.key_set, args.n, args.workload)
    ours_time, *peer_times = run.best_times([ours, *peers.values()], 0.2, args.repeat)
    peer_names = list(peers)
    del ours, peers
    outside, shares = interpreter_share(args.key_set, args.n, args.workload, args.seconds)
    floor = ours_time * outside / 100.0
    print(f"n = {args.n}, {args.key_set} keys, {args.workload}")
    print("samples by object: " + ", ".join(f"{dso} {share:.1f}%" for dso, share in sorted(
        shares.items(), key=lambda item: -item[1]) if share >= 0.5))
    print(f"quorvex {ours_time * 1e3:.3f} ms; interpreter, libc and kernel {outside:.1f}% = {floor * 1e3:.3f} ms")
    for peer, peer_time in zip(peer_names, peer_times):
        print(f"{peer} {peer_time * 1e3:.3f} ms: ratio now {peer_time / ours_time:.2f}, "
              f"at best {peer_time / floor:.2f} (the module's own time taken as zero)")


if __name__ == "__main__":
    main()
