"""The type stub quorvex-stubs/__init__.pyi against the compiled module: stubtest, mypy --strict, and what it must reject."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvex

if os.environ.get("QUORVEX_REQUIRE_MYPY"):
    import mypy  # noqa: F401  (scripts/ci-checks/10-typing.sh: a missing mypy must fail, not skip)
else:
    pytest.importorskip("mypy", reason="mypy is not installed (scripts/ci-checks/10-typing.sh installs it)")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "quorvex-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """Environment and working directory in which mypy sees this tree's stub and the module under test."""
    work = tmp_path_factory.mktemp("typing")
    stubs = work / "stubs"
    stubs.mkdir()
    # MYPYPATH comes before installed packages in mypy's search, so an installed
    # (possibly older) quorvex-stubs cannot stand in for the one in this tree.
    shutil.copyfile(STUB, stubs / "quorvex.pyi")
    env = dict(os.environ)
    env["MYPYPATH"] = str(stubs)
    module_dir = str(Path(quorvex.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env, work


def run_mypy(mypy_env, *args):
    env, work = mypy_env
    return subprocess.run([sys.executable, "-m", *args], cwd=work, env=env, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_stub_and_module_consistent(mypy_env):
    result = run_mypy(mypy_env, "mypy.stubtest", "quorvex")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


def test_typed_example_passes_strict(mypy_env):
    result = run_mypy(mypy_env, "mypy", "--strict", str(ROOT / "examples" / "typed_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


# Each case is one statement checked under --strict, with `d` a QuorDict in scope.
# None: the statement must type-check; otherwise a fragment of the error mypy must report.
CASES = {
    "construct-empty-dict": ("e = qv.QuorDict({})", None),
    "construct-by-keyword-with-bools": ("e = qv.QuorDict(dict={'x': True})", None),
    "construct-dict-of-int": ("counts: dict[str, int] = {'a': 1}\ne = qv.QuorDict(counts)", None),
    "construct-defaultdict": ("e = qv.QuorDict(collections.defaultdict(float))", None),
    "construct-str-subclass-keys": ("e = qv.QuorDict({Key('a'): decimal.Decimal(1)})", None),
    "aligned-fill-positional": ("e: qv.QuorDict = d.divide(d, 0)", None),
    "scalar-by-keyword": ("e: qv.QuorDict = d.reset(value=fractions.Fraction(1, 3))", None),
    "reductions-are-float": ("x: float = d.sum() + d.product()", None),
    "to_dict-is-dict": ("m: dict[str, float] = d.to_dict", None),
    "all-lists-the-class": ("names: list[str] = qv.__all__", None),
    "construct-int-keys": ("qv.QuorDict({1: 1.0})", 'Value of type variable "_K" of "QuorDict" cannot be "int"'),
    "construct-str-values": ("qv.QuorDict({'a': 'x'})", 'Value of type variable "_V" of "QuorDict" cannot be "str"'),
    "construct-list-of-pairs": ("qv.QuorDict([('a', 1.0)])", 'Argument 1 to "QuorDict" has incompatible type'),
    "construct-no-argument": ("qv.QuorDict()", 'Missing positional argument "dict"'),
    "other-plain-dict": ("d.add({'a': 1.0})", 'Argument 1 to "add" of "QuorDict" has incompatible type "dict[str, float]"'),
    "fill-none": ("d.multiply(d, fill=None)", 'Argument "fill" to "multiply" of "QuorDict" has incompatible type "None"'),
    "value-str": ("d.add_scalar('1')", 'Argument 1 to "add_scalar" of "QuorDict" has incompatible type "str"'),
    "scalar-has-no-fill": ("d.subtract_scalar(1.0, fill=0.0)", 'Unexpected keyword argument "fill" for "subtract_scalar"'),
    "sum-takes-no-argument": ("d.sum(1)", 'Too many arguments for "sum" of "QuorDict"'),
    "sum-is-not-int": ("n: int = d.sum()", 'Incompatible types in assignment (expression has type "float", variable has type "int")'),
    "to_dict-is-read-only": ("d.to_dict = {}", 'Property "to_dict" defined in "QuorDict" is read-only'),
    "to_dict-is-not-callable": ("d.to_dict()", '"dict[str, float]" not callable'),
    "class-is-final": ("class Sub(qv.QuorDict): ...", 'Cannot inherit from final class "QuorDict"'),
    "no-other-attributes": ("d.keys", '"QuorDict" has no attribute "keys"'),
}

HEADER = """\
import collections
import decimal
import fractions

import quorvex as qv


class Key(str): ...


d = qv.QuorDict({"a": 1.0})
"""


@pytest.fixture(scope="module")
def case_reports(mypy_env):
    """One mypy run over every case, each in a function of its own; returns {case id: [error lines]}."""
    source, line_of_case = [HEADER], {}
    line = HEADER.count("\n") + 1
    for number, (case_id, (statement, _)) in enumerate(CASES.items()):
        source.append(f"\ndef case_{number}() -> None:\n")
        line += 2
        line_of_case[case_id] = (line, line + statement.count("\n"))
        source.append(textwrap.indent(statement, "    ") + "\n")
        line += statement.count("\n") + 1
    path = mypy_env[1] / "cases.py"
    path.write_text("".join(source))
    result = run_mypy(mypy_env, "mypy", "--strict", "--no-error-summary", "--hide-error-context", path.name)
    reports = {case_id: [] for case_id in CASES}
    for match in re.finditer(r"^cases\.py:(\d+): error: (.*)$", result.stdout, re.MULTILINE):
        at = int(match.group(1))
        owner = [case_id for case_id, (first, last) in line_of_case.items() if first <= at <= last]
        assert owner, f"error outside every case: {match.group(0)}"
        reports[owner[0]].append(match.group(2))
    return reports


@pytest.mark.parametrize("case_id", list(CASES))
def test_stub_accepts_and_rejects(case_reports, case_id):
    expected = CASES[case_id][1]
    errors = case_reports[case_id]
    if expected is None:
        assert errors == []
    else:
        assert any(expected in error for error in errors), errors
