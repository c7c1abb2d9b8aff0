"""benchmarks/run.py runs end to end in its quick mode and reports every workload (no timing is judged)."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvex

pytest.importorskip("numpy")
pytest.importorskip("pandas")

ROOT = Path(__file__).resolve().parent.parent
WORKLOADS = {"construction", "to_dict", "add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar",
             "reset", "add_family", "add_keyed", "sum", "product"}
SMALL = {"small_add_scalar", "small_add", "small_sum"}


def test_quick_run_reports_every_workload_as_json():
    # The child must import the quorvex under test, wherever it was built.
    path = os.pathsep.join([str(Path(quorvex.__file__).resolve().parent), os.environ.get("PYTHONPATH", "")])
    result = subprocess.run([sys.executable, str(ROOT / "benchmarks/run.py"), "--quick", "--json"],
                            env={**os.environ, "PYTHONPATH": path}, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)

    assert set(report["workloads"]) == WORKLOADS and set(report["small"]) == SMALL
    for row in [*report["workloads"].values(), *report["small"].values()]:
        assert row["quorvex"] > 0 and row["peers"]
        assert all(p["time"] > 0 and p["ratio"] == pytest.approx(p["time"] / row["quorvex"]) for p in row["peers"].values())
    readout = report["readout"]
    assert {state: set(rows) for state, rows in readout.items()} == {
        state: {"ascii 8-24", "ascii 10", "non-ascii 8-24"} for state in ("lean", "loaded")}
    for rows in [rows for state in readout.values() for rows in state.values()]:
        assert set(rows) == {"construction", "to_dict", "pipeline"}
        for stats in [rows["pipeline"]["quorvex_rounds"], *rows["pipeline"]["peers"].values()]:
            assert 0 < stats["min"] <= stats["median"] <= stats["max"] and stats["faults"] >= 0
    memory = report["memory"]
    assert {"quorvex_index_and_values", "quorvex_derived", "dict", "pd.Series"} <= set(memory)
    # A derived instance holds one binary64 per key and shares the keys.
    assert 8.0 <= memory["quorvex_derived"] < 9.0
    for series in report["scaling"].values():
        assert series["n"] == [10, 100, 1000, 10000]
        assert len(series["quorvex"]) == len(series["peer"]) == 4
