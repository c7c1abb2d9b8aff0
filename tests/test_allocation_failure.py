"""Allocation failure: every call that cannot get memory raises MemoryError,
releases what it took and changes nothing; nothing aborts or hangs.

As CPython tests itself: _testcapi.set_nomemory(k, k + 1) makes exactly the
k-th allocation (raw, mem and object domains) fail, for every k until the
call stops allocating. Each sweep runs in a child interpreter.
"""

import os
import subprocess
import sys
import textwrap

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

needs_set_nomemory = pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                                        reason="this interpreter has no _testcapi.set_nomemory")


def run_child(source, timeout=300, **env):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                            timeout=timeout, env={**os.environ, "RUST_BACKTRACE": "0", **env})
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


# Forks one child per start point, so that each import meets a process in
# which the module (and its process-wide classes) was never created. A child
# that hangs is ended by its alarm and reported.
IMPORT_SWEEP = """
import os, signal, sys, _testcapi

def attempt(inject):
    signal.alarm(10)
    try:
        outcome = inject()
    except BaseException as caught:
        outcome = type(caught).__name__
    sys.modules.pop("quorvex", None)
    import quorvex
    d = quorvex.QuorDict({"a": 1.0})
    assert d.add_scalar(1.0).to_dict == {"a": 2.0}
    flag = __import__("ctypes").c_size_t.from_address(id(d) + type(d).__basicsize__ - 8)
    flag.value = 2**64 - 1
    try:
        quorvex.QuorDict({}).add(d)
    except BaseException as caught:
        assert type(caught).__name__ == "PanicException", caught
    flag.value = 0
    return outcome

def forked(inject):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            os.write(write_end, attempt(inject).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as reader:
        reported = reader.read()
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return "killed by signal %d" % os.WTERMSIG(status)
    return reported if os.WEXITSTATUS(status) == 0 and reported else "failed"

def with_nomemory(k):
    def inject():
        _testcapi.set_nomemory(k, k + 1)
        try:
            import quorvex
        finally:
            _testcapi.remove_mem_hooks()
        return "ok"
    return inject

def with_headroom(frames):
    def inject():
        def nest(depth):
            if depth:
                return nest(depth - 1)
            sys.setrecursionlimit(len(__import__("inspect").stack(0)) + frames)
            try:
                import quorvex
            finally:
                sys.setrecursionlimit(1000)
            return "ok"
        return nest(20)
    return inject

k, successes, outcomes = 0, 0, []
while successes < 5:
    outcome = forked(with_nomemory(k))
    outcomes.append(outcome)
    successes = successes + 1 if outcome == "ok" else 0
    k += 1
print("nomemory", k, sorted(set(outcomes)))
print("headroom", sorted({forked(with_headroom(frames)) for frames in range(2, 60)}))
"""


# CPython 3.13's PyType_FromSpec can itself crash when one of its own
# allocations fails (Debian's 3.13.5: SIGSEGV four interpreter frames below
# PyType_FromSpec, called with the same class description that works on every
# other version); 3.11, 3.14 and 3.15 raise MemoryError there. On 3.13 alone
# such a crash of the forked child is the interpreter's, and is not counted
# against the module.
INTERPRETER_CRASHES = {"'killed by signal 11'"} if sys.version_info[:2] == (3, 13) else set()


@needs_set_nomemory
def test_import_fails_cleanly_at_every_allocation_and_at_the_recursion_limit():
    lines = dict(line.split(" ", 1) for line in run_child(IMPORT_SWEEP).splitlines())
    for sweep, outcomes in lines.items():
        for tolerated in INTERPRETER_CRASHES:
            outcomes = outcomes.replace(tolerated, "")
        assert "killed" not in outcomes and "failed" not in outcomes, f"{sweep}: {outcomes}"
    assert "MemoryError" in lines["nomemory"]


SCRIPT_HEAD = """
import ctypes, gc, pickle, struct, sys
from functools import partial
import quorvex
from quorvex import QuorDict

FLAG_OFFSET = QuorDict.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)
def flag(instance):
    return ctypes.c_size_t.from_address(id(instance) + FLAG_OFFSET).value
"""

OPERATIONS_SWEEP = SCRIPT_HEAD + """
import _testcapi
ascii = {f"key{i}": i / 3 for i in range(40)}
mixed = {"é": 1.5, "ключ": -2.0, "a": 3.0, "\\U0001F600": 4.25, "x\\u0301": 0.5}
d = QuorDict(ascii)
same = d.add_scalar(0.5)                                    # same key layout: positional path
other = QuorDict({f"key{i}": 2.0 for i in range(0, 60, 3)})  # another layout: keyed path
instances = [d, same, other]
contents = [x.to_dict for x in instances]

class Text:
    def __str__(self):
        return "failed text"
class Refused:
    def __float__(self):
        raise TypeError(Text())
class Panicking:
    def __float__(self):
        raise PanicException("nul\\x00inside")

def panic_class():
    flag_of_d = ctypes.c_size_t.from_address(id(d) + FLAG_OFFSET)
    flag_of_d.value = 2**64 - 1
    try:
        QuorDict({}).add(d)
    except BaseException as caught:
        return type(caught)
    finally:
        flag_of_d.value = 0
PanicException = panic_class()

# Callables made in C (bound methods, partial), so that no Python frame of
# the harness is created or unwound inside the call.
operations = {
    "construct-ascii": partial(QuorDict, ascii),
    "construct-non-ascii": partial(QuorDict, mixed),
    "to_dict": partial(getattr, d, "to_dict"),
    "sum": d.sum,
    "product": d.product,
    "error-dict": partial(QuorDict, []),
    "error-missing": QuorDict,
    "error-too-many": partial(d.add_scalar, 1.0, 2.0),
    "error-keyword": partial(d.add, other, fil=1.0),
    "error-other": partial(d.add, None),
    "error-fill": partial(d.add, other, fill="x"),
    "error-from-python": partial(d.add_scalar, Refused()),
    "resumed-panic": partial(d.add_scalar, Panicking()),
    "pickle": partial(pickle.dumps, d, 5),
    "unpickle": partial(pickle.loads, pickle.dumps(d)),
}
for name in ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"]:
    operations[name] = partial(getattr(d, name), 1.25)
for name in ["add", "subtract", "multiply", "divide"]:
    operations[name + "-positional"] = partial(getattr(d, name), same, 2.5)
    operations[name + "-keyed"] = partial(getattr(d, name), other, fill=2.5)

# CPython 3.11 drops the exception of a Python frame whose frame object it
# cannot allocate, and then reports a call that failed without one. Only the
# operations that run Python code (__float__, __str__) meet that.
INTERPRETER_LOSS = ("SystemError", ("error return without exception set",))
RUNS_PYTHON_CODE = {"error-from-python", "resumed-panic"}
# The pickle module's own failure paths keep blocks (so does a plain class
# pickled through copyreg): for these two only correctness is judged.
PICKLE_MACHINERY = {"pickle", "unpickle"}

def bits(value):
    return struct.pack("<d", value).hex()

def describe(outcome):
    if isinstance(outcome, BaseException):
        return (type(outcome).__name__, outcome.args)
    if isinstance(outcome, QuorDict):
        return ("QuorDict", sorted((k, bits(v)) for k, v in outcome.to_dict.items()), flag(outcome))
    if isinstance(outcome, bytes):
        return ("pickled", describe(pickle.loads(outcome)))
    if isinstance(outcome, float):
        return ("float", bits(outcome))
    return (type(outcome).__name__, sorted((k, bits(v)) for k, v in outcome.items()))

def call(operation, k=None):
    sys._getframe()  # this frame's object exists before the hooks go in
    if k is not None:
        _testcapi.set_nomemory(k, k + 1)
    try:
        outcome = operation()
    except BaseException as caught:
        outcome = caught
    finally:
        _testcapi.remove_mem_hooks()
    return outcome

def sweep(name, operation, expected):
    k, successes, failures = 0, 0, 0
    refcounts = [sys.getrefcount(x) for x in instances]
    while successes < 3:
        outcome = call(operation, k)
        k += 1
        if isinstance(outcome, MemoryError):
            successes, failures = 0, failures + 1
        elif name in RUNS_PYTHON_CODE and describe(outcome) == INTERPRETER_LOSS:
            successes = 0
        else:
            assert describe(outcome) == expected, (name, k - 1, describe(outcome), expected)
            successes += 1
        outcome = None
        assert [x.to_dict for x in instances] == contents, (name, k - 1)
        assert [flag(x) for x in instances] == [0, 0, 0], (name, k - 1)
    assert [sys.getrefcount(x) for x in instances] == refcounts, (name, "references to the instances leaked")
    return k, failures

# Blocks are judged only where the interpreter's own failure path keeps (next
# to) none: CPython 3.13.0 keeps about two blocks per MemoryError that a
# builtin raises, 3.11 none.
def blocks_kept(operation, k, times):
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(times):
        call(operation, k)
    gc.collect()
    return sys.getallocatedblocks() - blocks
judge_blocks = blocks_kept(partial(dict, a=1), 0, 200) < 100

# Judged as regrtest judges leaks: after a warm-up sweep (caches, interned
# texts), two more must each leave no more blocks than they found.
for name, operation in operations.items():
    expected = describe(call(operation))
    points, failures = sweep(name, operation, expected)
    grown = []
    for _ in range(2):
        gc.collect()
        blocks = sys.getallocatedblocks()
        sweep(name, operation, expected)
        gc.collect()
        grown.append(sys.getallocatedblocks() - blocks)
    print(name, points, failures, min(grown) if judge_blocks and name not in PICKLE_MACHINERY else "unjudged")
"""


@needs_set_nomemory
def test_every_operation_survives_a_failed_allocation_at_every_point():
    report = [line.split() for line in run_child(OPERATIONS_SWEEP, timeout=600).splitlines()]
    assert len(report) == 28
    for name, points, failures, grown in report:
        # Beyond sum and product (whose float may come from a free list) every
        # operation allocates, so some point must fail; a sweep that keeps
        # blocks is a leak on some failure path.
        assert int(failures) > 0 or name in ("sum", "product"), name
        assert grown == "unjudged" or int(grown) <= 0, f"{name}: {grown} blocks kept after {points} start points"


ADDRESS_SPACE = SCRIPT_HEAD + """
import resource
keys = {f"key{i}": float(i) for i in range(300_000)}
big = QuorDict(keys)

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcomes = []
for attempt in [lambda: QuorDict(keys), lambda: big.add_scalar(1.0), lambda: big.add(big)]:
    gc.collect()
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (1 << 20), hard))
    try:
        outcome = attempt()
    except MemoryError:
        outcome = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    outcomes.append(outcome if outcome == "MemoryError" else "built")
    assert flag(big) == 0
assert QuorDict(keys).to_dict == keys and big.add_scalar(1.0).sum() == big.sum() + len(keys)
print(" ".join(outcomes))
"""


@pytest.mark.skipif(bool(os.environ.get("QUORVEX_SANITIZER")), reason="the sanitizers reserve terabytes of address space")
def test_tables_too_large_for_the_address_space_raise_memory_error():
    # A fixed threshold keeps glibc from serving large blocks out of heap
    # space that earlier large blocks left behind: each one needs new room.
    assert run_child(ADDRESS_SPACE, MALLOC_MMAP_THRESHOLD_="131072").split() == ["MemoryError"] * 3
