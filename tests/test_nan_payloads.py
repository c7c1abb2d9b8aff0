"""NaN payloads come out the same on every loop kind, at every position.

When the left operand (the receiver's value) is NaN, the result is that NaN
with its quiet bit set, whatever the right operand holds; when only the right
operand is NaN, it comes out quieted. Each loop kind runs in a child process
with QUORVEX_DISABLE_CPU_FEATURES set, over lengths that put every pairing in
the vector bodies and in the tails of every width.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from model import QUIET_BIT, bits, from_bits

QL, NL, SL = 0x7FF8000000000111, 0xFFF8000000000ABC, 0x7FF0000000000005  # left: quiet, negative, signalling
QR, SR = 0x7FF8000000000222, 0xFFF4000000000777  # right: quiet, signalling
ONE_AND_HALF, MINUS_TWO_QUARTERS = bits(1.5), bits(-2.25)
# Seven pairings (coprime to every vector width), rotated by position and length.
PAIRS = [(QL, QR), (SL, QR), (NL, SR), (ONE_AND_HALF, SR), (QL, ONE_AND_HALF), (SL, MINUS_TWO_QUARTERS),
         (ONE_AND_HALF, MINUS_TWO_QUARTERS)]
LENGTHS = range(1, 38)
OPS = {"add": float.__add__, "subtract": float.__sub__, "multiply": float.__mul__, "divide": float.__truediv__}

# name -> (features to skip, processor flag the kind needs)
LOOP_KINDS = {"avx512": ("", "avx512f"), "avx2": ("avx512f", "avx2"), "baseline": ("avx2,avx512f", None)}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return next((set(line.split(":", 1)[1].split()) for line in f if line.startswith("flags")), set())
    except OSError:
        return set()


def expected_bits(op, left, right):
    if left != left:
        return bits(left) | QUIET_BIT
    if right != right:
        return bits(right) | QUIET_BIT
    return bits(OPS[op](left, right))


def cases():
    """(name, path, op, left bits, right bits by position (None: key missing), fill bits)."""
    out = []
    for n in LENGTHS:
        pairs = [PAIRS[(i + n) % len(PAIRS)] for i in range(n)]
        left = [p[0] for p in pairs]
        right = [p[1] for p in pairs]
        for op in OPS:
            for path in ("same-layout", "keyed"):
                out.append((f"{op}-{path}-{n}", path, op, left, right, QR))
            # Every other key missing from `other`, so `fill` alternates with its values.
            sparse = [r if i % 2 else None for i, r in enumerate(right)]
            out.append((f"{op}-keyed-fill-{n}", "keyed", op, left, sparse, QR))
            for constant in (QR, SR, MINUS_TWO_QUARTERS):
                for path in ("scalar", "shared-index", "empty-other"):
                    out.append((f"{op}-{path}-{constant:x}-{n}", path, op, left, [constant] * n, constant))
    return out


CHILD = textwrap.dedent("""
    import json, struct, sys
    from quorvex import QuorDict

    def f(pattern):
        return struct.unpack("<d", struct.pack("<Q", pattern))[0]

    out = []
    for _, path, op, left, right, fill in json.load(sys.stdin):
        keys = [f"k{i}" for i in range(len(left))]
        d = QuorDict(dict(zip(keys, map(f, left))))
        if path == "scalar":
            r = getattr(d, op + "_scalar")(f(right[0]))
        elif path == "shared-index":
            r = getattr(d, op)(d.reset(f(right[0])))
        elif path == "same-layout":
            r = getattr(d, op)(QuorDict(dict(zip(keys, map(f, right)))))
        elif path == "keyed":  # reversed key order: the layouts never match
            other = {k: f(w) for k, w in reversed(list(zip(keys, right))) if w is not None}
            r = getattr(d, op)(QuorDict(other), f(fill))
        else:
            r = getattr(d, op)(QuorDict({}), f(fill))
        values = r.to_dict
        out.append([struct.unpack("<Q", struct.pack("<d", values[k]))[0] for k in keys])
    json.dump(out, sys.stdout)
""")


@pytest.mark.parametrize("kind", LOOP_KINDS)
def test_nan_payloads_on_every_loop_kind(kind):
    skipped, needed = LOOP_KINDS[kind]
    if needed is not None and needed not in cpu_flags():
        pytest.skip(f"this processor lacks {needed}")
    table = cases()
    env = {**os.environ, "QUORVEX_DISABLE_CPU_FEATURES": skipped}
    child = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps(table), env=env, capture_output=True,
                           text=True, timeout=120, check=False)
    assert child.returncode == 0, child.stderr
    mismatches = []
    for (name, path, op, left, right, fill), got in zip(table, json.loads(child.stdout), strict=True):
        for i, (l_bits, r_bits) in enumerate(zip(left, right)):
            w = r_bits if r_bits is not None else fill
            want = expected_bits(op, from_bits(l_bits), from_bits(w))
            if got[i] != want:
                mismatches.append(f"{name} at {i}: {l_bits:#x} {op} {w:#x} gave {got[i]:#x}, expected {want:#x}")
    assert not mismatches, f"{len(mismatches)} wrong results, first ones:\n" + "\n".join(mismatches[:10])


@pytest.mark.parametrize("values, reduction, expected", [
    ([1.0, from_bits(SL), from_bits(QL), 2.0], "sum", SL | QUIET_BIT),
    ([from_bits(NL), 3.0, from_bits(QR)], "product", NL),
    ([1.0, from_bits(QR), from_bits(SL)], "product", QR),
], ids=["sum-first-nan-signalling", "product-first-nan-negative", "product-first-nan-quiet"])
def test_reductions_keep_the_first_nan(QuorDict, values, reduction, expected):
    d = QuorDict({f"k{i}": v for i, v in enumerate(values)})
    assert bits(getattr(d, reduction)()) == expected


def test_unknown_feature_names_warn_and_are_ignored():
    env = {**os.environ, "QUORVEX_DISABLE_CPU_FEATURES": " AVX2, sse9,,avx512f "}
    code = "import quorvex; print(quorvex.QuorDict({'a': 1.0}).add_scalar(1.0).sum())"
    child = subprocess.run([sys.executable, "-W", "always", "-c", code], env=env, capture_output=True, text=True,
                           timeout=60, check=False)
    assert child.returncode == 0 and child.stdout == "2.0\n", child.stderr
    warnings = [line for line in child.stderr.splitlines() if "RuntimeWarning" in line]
    assert len(warnings) == 1 and "ignoring sse9 " in warnings[0] and "AVX2" not in warnings[0], child.stderr
