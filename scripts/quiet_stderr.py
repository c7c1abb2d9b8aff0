"""Silences file descriptor 2 for a while: panic reports go to stderr, and the
long-running checks would otherwise print thousands of them."""

import contextlib
import os
import sys


@contextlib.contextmanager
def quiet_stderr(keep=False):
    """Sends fd 2 to /dev/null until the block ends, unless `keep` is true."""
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
