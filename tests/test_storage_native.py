"""Native checks of the storage layer (src/storage) through tests/native/storage_selftest.cpp."""

import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STORAGE_SOURCES = [
    "raw_memory.cpp", "siphash.cpp", "siphash_vector.cpp", "hash_seed.cpp", "bounds.cpp",
    "value_array.cpp", "key_buffer.cpp", "entry_table.cpp", "key_index.cpp", "utf8_vector.cpp",
    "utf8_compress.cpp", "cpu_features.cpp",
]
MASK64 = (1 << 64) - 1


def build_selftest(tmp_path_factory, name, extra_flags=()):
    if shutil.which("g++") is None:
        pytest.skip("building the native self-test needs g++ on PATH")
    exe = tmp_path_factory.mktemp("native") / name
    # Storage needs no interpreter: the program is built without its headers.
    cmd = ["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", *extra_flags, "-I", str(ROOT / "src"),
           str(ROOT / "tests/native/storage_selftest.cpp"), str(ROOT / "tests/native/host_standin.cpp"),
           *[str(ROOT / "src/storage" / name) for name in STORAGE_SOURCES],
           "-o", str(exe), "-pthread"]
    subprocess.run(cmd, check=True)
    return exe


@pytest.fixture(scope="session")
def selftest(tmp_path_factory):
    return build_selftest(tmp_path_factory, "storage_selftest")


# The slot tables compare control bytes with SSE2 where the compiler offers it
# and with 64-bit word arithmetic elsewhere; this build takes the second path.
@pytest.fixture(scope="session")
def portable_selftest(tmp_path_factory):
    return build_selftest(tmp_path_factory, "storage_selftest_portable", ["-U__SSE2__"])


@pytest.fixture(params=["sse2", "portable"])
def any_selftest(request):
    return request.getfixturevalue("selftest" if request.param == "sse2" else "portable_selftest")


def run(exe, *args, stdin=None):
    return subprocess.run([str(exe), *map(str, args)], input=stdin, capture_output=True, text=True, timeout=120)


def program_hashes(exe, k0, k1, keys, *mode):
    lines = "".join(f"{k0} {k1} {key.hex() or '-'}\n" for key in keys)
    result = run(exe, "hash", *mode, stdin=lines)
    assert result.returncode == 0, result.stderr
    return [int(v) for v in result.stdout.split()]


def as_cpython_hash(value):
    signed = value - (1 << 64) if value >= 1 << 63 else value
    return -2 if signed == -1 else signed


def siphash13(k0, k1, message):
    rotl = lambda x, b: ((x << b) | (x >> (64 - b))) & MASK64
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def sipround():
        v[0] = (v[0] + v[1]) & MASK64; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
        v[2] = (v[2] + v[3]) & MASK64; v[3] = rotl(v[3], 16) ^ v[2]
        v[0] = (v[0] + v[3]) & MASK64; v[3] = rotl(v[3], 21) ^ v[0]
        v[2] = (v[2] + v[1]) & MASK64; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)

    whole = len(message) // 8 * 8
    padded = message[whole:] + bytes(7 - len(message) % 8) + bytes([len(message) & 0xFF])
    words = [int.from_bytes(message[i:i + 8], "little") for i in range(0, whole, 8)]
    for word in words + [int.from_bytes(padded, "little")]:
        v[3] ^= word; sipround(); v[0] ^= word
    v[2] ^= 0xFF
    for _ in range(3):
        sipround()
    return v[0] ^ v[1] ^ v[2] ^ v[3]


ZERO_KEY_CASES = (
    [b"", b"\x00", b"\x00" * 9, b"\xff" * 7, "h\u00e9llo w\u00f6rld \u2713".encode(), "\u65e5\u672c\u8a9e".encode(),
     "\U0001f600".encode()]
    + [bytes(range(65, 65 + n)) for n in range(1, 41)]  # every tail length, up to five blocks
)


@pytest.fixture(scope="session")
def cpython_zero_key_hashes():
    script = ("import sys\n"
              "print(sys.hash_info.algorithm)\n"
              "for line in sys.stdin.read().split():\n"
              "    print(hash(bytes.fromhex(line.strip('-')) + b'\\xff'))\n")
    out = subprocess.run([sys.executable, "-c", script], input="".join((k.hex() or "-") + "\n" for k in ZERO_KEY_CASES),
                         env={**os.environ, "PYTHONHASHSEED": "0"}, capture_output=True, text=True, check=True).stdout.split()
    if out[0] != "siphash13":
        pytest.skip(f"this CPython hashes bytes with {out[0]}")
    return [int(v) for v in out[1:]]


def test_hash_matches_cpython_with_zero_key(selftest, cpython_zero_key_hashes):
    ours = [as_cpython_hash(h) for h in program_hashes(selftest, 0, 0, ZERO_KEY_CASES)]
    mismatched = [k for k, a, b in zip(ZERO_KEY_CASES, ours, cpython_zero_key_hashes) if a != b]
    assert len(ours) == len(cpython_zero_key_hashes) and mismatched == []


def test_reference_siphash_matches_cpython(cpython_zero_key_hashes):
    ours = [as_cpython_hash(siphash13(0, 0, key + b"\xff")) for key in ZERO_KEY_CASES]
    assert ours == cpython_zero_key_hashes


@pytest.mark.parametrize("k0,k1", [(1, 0), (0, 1), (MASK64, MASK64), (0x0123456789ABCDEF, 0xFEDCBA9876543210), ("random", None)])
def test_hash_with_nonzero_keys(selftest, k0, k1):
    rng = random.Random(f"{k0}/{k1}")
    if k0 == "random":
        k0, k1 = rng.getrandbits(64), rng.getrandbits(64)
    keys = [b""] + [rng.randbytes(rng.randrange(1, 70)) for _ in range(200)]
    assert program_hashes(selftest, k0, k1, keys) == [siphash13(k0, k1, key + b"\xff") for key in keys]
    # The bytes alone, as the interpreter hashes a str's characters.
    assert program_hashes(selftest, k0, k1, keys, "plain") == [siphash13(k0, k1, key) for key in keys]


def test_batched_hash_matches_the_scalar_one_and_reads_only_its_keys(selftest):
    result = run(selftest, "hash-many")
    assert result.returncode == 0 and result.stdout.split()[-1] == "ok", result.stdout + result.stderr


def test_seeds_advance_per_table_and_differ_per_thread_and_process(selftest):
    runs = [[tuple(map(int, line.split())) for line in run(selftest, "seeds").stdout.splitlines()] for _ in range(2)]
    for (a, b, c, other_thread) in runs:
        assert (b[0], c[0]) == ((a[0] + 1) & MASK64, (a[0] + 2) & MASK64)
        assert a[1] == b[1] == c[1]
        assert other_thread not in (a, b, c)
    assert runs[0][0] != runs[1][0]


@pytest.mark.parametrize("seed", range(1, 7))
def test_tables_against_model(any_selftest, seed):
    result = run(any_selftest, "tables", seed, 40)
    assert (result.returncode, result.stdout) == (0, "ok\n")


def test_big_table_and_batched_lookups(any_selftest):
    result = run(any_selftest, "big", 60_000)
    assert (result.returncode, result.stdout) == (0, "ok\n")


def test_shared_values_and_make_writable(selftest):
    result = run(selftest, "writable")
    assert (result.returncode, result.stdout) == (0, "ok\n")


def test_full_entry_table_panics_only_for_a_new_key(selftest):
    result = run(selftest, "full")
    assert (result.returncode, result.stdout) == (3, "2 entries\nentry table is full\n")


@pytest.mark.parametrize("what,length,index,code,output", [
    ("values", 3, 3, 3, "index out of bounds: the len is 3 but the index is 3"),
    ("values", 0, 0, 3, "index out of bounds: the len is 0 but the index is 0"),
    ("keys", 3, 3, 3, "index out of bounds: the len is 3 but the index is 3"),
    ("values", 3, 2, 0, "2"),
])
def test_bounds(selftest, what, length, index, code, output):
    result = run(selftest, "bounds", what, length, index)
    assert (result.returncode, result.stdout) == (code, output + "\n")


# The slot table holds 7/8 of 12 slots per group and doubles its groups: 1376257
# is one past 7/8 of 12 * 2^17, where it has the most slack.
@pytest.mark.parametrize("n", [1_376_257, 1_000_000])
def test_storage_memory_per_key(selftest, n):
    result = run(selftest, "memory", n)
    assert result.returncode == 0, result.stdout
    assert float(result.stdout) <= 40.0


def test_vector_utf8_encoder_matches_the_scalar_one(selftest):
    result = run(selftest, "utf8")
    assert result.returncode == 0 and result.stdout.split()[-1] in ("ok", "avx2"), result.stdout + result.stderr
