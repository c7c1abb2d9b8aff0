"""Shared by the reliability scripts and the fuzz harness: silencing stderr,
and reaching an instance's borrow flag and the panic exception class."""

import contextlib
import ctypes
import os
import sys

import quorvex

# The borrow flag is the last machine word of the instance record.
FLAG_OFFSET = quorvex.QuorDict.__basicsize__ - ctypes.sizeof(ctypes.c_size_t)
EXCLUSIVE = (1 << (8 * ctypes.sizeof(ctypes.c_size_t))) - 1


@contextlib.contextmanager
def quiet_stderr(keep=False):
    """Sends fd 2 to /dev/null until the block ends, unless `keep` is true:
    panic reports go to stderr, and long runs would print thousands of them."""
    if keep:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as sink:
        os.dup2(sink.fileno(), 2)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def borrow_flag(instance):
    return ctypes.c_size_t.from_address(id(instance) + FLAG_OFFSET)


def panic_exception_type():
    """The class of pyo3_runtime.PanicException, obtained from a refused borrow of `other`."""
    victim = quorvex.QuorDict({"a": 1.0})
    flag = borrow_flag(victim)
    flag.value = EXCLUSIVE
    try:
        quorvex.QuorDict({}).add(victim)
    except BaseException as caught:  # noqa: B036 - the class is not Exception's
        return type(caught)
    finally:
        flag.value = 0
    raise AssertionError("a refused borrow of `other` did not panic")
