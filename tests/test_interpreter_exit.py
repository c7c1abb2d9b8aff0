"""Interpreter exit while daemon threads are inside calls into the module.

At exit CPython 3.11 to 3.13 ends a daemon thread that wants the interpreter
lock back with pthread_exit, whose forced unwind runs through whatever frames
of ours the thread is in; 3.14 on leaves such threads waiting instead. Either
way the program must exit as it would without the module: status 0, nothing
on stderr.
"""

import os
import subprocess
import sys

import pytest

PROGRAM = """
import threading, time
from fractions import Fraction
import quorvex

d = quorvex.QuorDict({f"k{i}": float(i) for i in range(50)})
e = quorvex.QuorDict({f"k{i}": 1.0 for i in range(0, 50, 3)})

class Slow:
    def __float__(self):
        time.sleep(0)  # gives the lock up inside the conversion
        return 1.0

class SlowText:
    def __str__(self):
        time.sleep(0)
        return "text"

class Refused:
    def __float__(self):
        raise TypeError(SlowText())  # its message is read while the argument error is built

def call():
    CALL

def loop():
    while True:
        try:
            call()
        except (TypeError, ValueError):
            pass

for _ in range(3):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.15)
"""

CALLS = {
    "construction-with-fraction-values": 'quorvex.QuorDict({f"item{i}": Fraction(i, 7) for i in range(2000)}).sum()',
    "argument-error-message": 'd.add(e, fill="x")',
    "conversion-that-sleeps": "d.add(e, fill=Slow()).multiply_scalar(Slow())",
    "argument-error-message-from-python": "d.add_scalar(Refused())",
}
RUNS = 8


@pytest.mark.skipif(bool(os.environ.get("QUORVEX_SANITIZER")),
                    reason="AddressSanitizer does not unpoison a stack that pthread_exit unwinds, "
                    "and reports its own stale poison there")
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_exit_with_daemon_threads_inside_calls(call):
    program = PROGRAM.replace("CALL", call)
    children = [subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True) for _ in range(RUNS)]
    outcomes = [(child.wait(timeout=60), child.communicate()[1]) for child in children]
    abnormal = [outcome for outcome in outcomes if outcome != (0, "")]
    assert abnormal == [], f"{len(abnormal)} of {RUNS} runs ended abnormally, first: {abnormal[0]}"
