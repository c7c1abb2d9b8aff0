#!/usr/bin/env bash
# CI check: the storage layer on a big-endian processor. Storage has no
# interpreter in it, so its native self-test (tests/native/storage_selftest.cpp)
# is built by a cross compiler for 64-bit PowerPC, big-endian, and run under
# qemu's user-mode emulation: SipHash must give the build machine's values for
# the same seeds and messages, and the slot tables, key records and UTF-8
# round trips must check out. Installs the cross compiler and qemu with apt
# (root) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v powerpc64-linux-gnu-g++ >/dev/null || ! command -v qemu-ppc64 >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-powerpc64-linux-gnu qemu-user >/dev/null
fi

started=$SECONDS
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sources=(tests/native/storage_selftest.cpp tests/native/host_standin.cpp src/storage/*.cpp)
# The two builds run side by side.
g++ -std=c++20 -O1 -I src "${sources[@]}" -o "$work/native" -pthread &
native_build=$!
powerpc64-linux-gnu-g++ -std=c++20 -O1 -static -I src "${sources[@]}" -o "$work/big" -pthread
wait "$native_build"

# Seeds and messages of every length up to 40 bytes, from a fixed generator.
python3 - >"$work/messages" <<'PY'
import random
rng = random.Random(35)
for length in range(41):
    for _ in range(5):
        print(rng.getrandbits(64), rng.getrandbits(64), bytes(rng.getrandbits(8) for _ in range(length)).hex() or "-")
PY
"$work/native" hash <"$work/messages" >"$work/native.out"
qemu-ppc64 "$work/big" hash <"$work/messages" >"$work/big.out"
if [ "$(wc -l <"$work/native.out")" -ne 205 ] || ! cmp -s "$work/native.out" "$work/big.out"; then
    echo "35-big-endian: SipHash differs between little- and big-endian builds" >&2
    diff "$work/native.out" "$work/big.out" | head >&2 || true
    exit 1
fi
for mode in "tables 1 40" "tables 2 40" "big 60000" "utf8" "writable"; do
    # shellcheck disable=SC2086
    if ! out="$(qemu-ppc64 "$work/big" $mode 2>&1)" || [ "$(tail -1 <<<"$out")" != ok ]; then
        echo "35-big-endian: self-test '$mode' failed on the big-endian build:" >&2
        echo "$out" | tail -5 >&2
        exit 1
    fi
done
echo "35-big-endian: 205 hashes agree, tables, key records, UTF-8 and value arrays check out (ppc64 under qemu) in $((SECONDS - started)) s"
