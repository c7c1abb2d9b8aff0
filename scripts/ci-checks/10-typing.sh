#!/usr/bin/env bash
# CI check of the type information: the stub in this tree against the compiled
# module (stubtest, mypy --strict, accept/reject cases in tests/test_typing.py),
# then the stub package of the installed distribution, as a user's mypy finds it.
# Needs quorvex installed in python3's environment (`python3 -m pip install .`,
# as .ci/run does first); mypy is installed beside it.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"

if ! python3 -c "import quorvex" 2>/dev/null; then
    echo "quorvex is not importable: run 'python3 -m pip install .' first" >&2
    exit 1
fi
# Pinned: a new mypy release may judge the same stub differently.
python3 -m pip install --quiet --disable-pip-version-check "mypy==2.4.1" "pytest>=7"

QUORVEX_REQUIRE_MYPY=1 python3 -m pytest -q -p no:cacheprovider "$root/tests/test_typing.py"

# No MYPYPATH here: mypy must find quorvex-stubs in site-packages beside the module.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 -m mypy.stubtest quorvex
python3 -m mypy --strict "$root/examples/typed_usage.py"
