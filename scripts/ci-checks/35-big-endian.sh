#!/usr/bin/env bash
# CI check: the storage layer on big-endian processors. Storage has no
# interpreter in it, so its native self-test (tests/native/storage_selftest.cpp)
# is built by cross compilers for 64-bit PowerPC and for s390x (IBM Z, whose
# malloc guarantees only 8-byte alignment for fundamental types), both
# big-endian, and run under qemu's user-mode emulation: SipHash must give the
# build machine's values for the same seeds and messages, and the slot tables,
# key records and UTF-8 round trips must check out. Installs the cross
# compilers and qemu with apt (root) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v powerpc64-linux-gnu-g++ >/dev/null || ! command -v s390x-linux-gnu-g++ >/dev/null ||
    ! command -v qemu-ppc64 >/dev/null || ! command -v qemu-s390x >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-powerpc64-linux-gnu g++-s390x-linux-gnu qemu-user \
        >/dev/null
fi

started=$SECONDS
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
sources=(tests/native/storage_selftest.cpp tests/native/host_standin.cpp src/storage/*.cpp)
# The native build runs beside the cross builds.
g++ -std=c++20 -O1 -I src "${sources[@]}" -o "$work/native" -pthread &
native_build=$!
powerpc64-linux-gnu-g++ -std=c++20 -O1 -static -I src "${sources[@]}" -o "$work/ppc64" -pthread
s390x-linux-gnu-g++ -std=c++20 -O1 -static -I src "${sources[@]}" -o "$work/s390x" -pthread
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
if [ "$(wc -l <"$work/native.out")" -ne 205 ]; then
    echo "35-big-endian: the native build gave $(wc -l <"$work/native.out") hashes, not 205" >&2
    exit 1
fi
for arch in ppc64 s390x; do
    "qemu-$arch" "$work/$arch" hash <"$work/messages" >"$work/$arch.out"
    if ! cmp -s "$work/native.out" "$work/$arch.out"; then
        echo "35-big-endian: SipHash differs between the little-endian and the $arch build" >&2
        diff "$work/native.out" "$work/$arch.out" | head >&2 || true
        exit 1
    fi
    for mode in "tables 1 40" "tables 2 40" "big 60000" "utf8" "writable"; do
        # shellcheck disable=SC2086
        if ! out="$("qemu-$arch" "$work/$arch" $mode 2>&1)" || [ "$(tail -1 <<<"$out")" != ok ]; then
            echo "35-big-endian: self-test '$mode' failed on the $arch build:" >&2
            echo "$out" | tail -5 >&2
            exit 1
        fi
    done
done
echo "35-big-endian: 205 hashes agree, tables, key records, UTF-8 and value arrays check out (ppc64 and s390x under qemu) in $((SECONDS - started)) s"
