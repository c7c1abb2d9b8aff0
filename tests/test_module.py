"""The quorvex module object: its attributes, the import forms, re-import and reload, and what the library exports."""

import importlib
import shutil
import subprocess
import sys

import pytest

import quorvex

STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__"}


def test_module_attributes():
    assert quorvex.__doc__ == "A Python module implemented in Rust."
    assert type(quorvex.__all__) is list and quorvex.__all__ == ["QuorDict"]
    assert set(vars(quorvex)) == STANDARD_ATTRIBUTES | {"QuorDict", "__all__"}
    assert type(quorvex.QuorDict) is type and quorvex.QuorDict.__name__ == "QuorDict"


def test_star_import_binds_only_the_class():
    namespace = {}
    exec("from quorvex import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"QuorDict"}
    assert namespace["QuorDict"] is quorvex.QuorDict


def test_fresh_import_gets_a_new_module_and_the_same_class():
    old = sys.modules.pop("quorvex")
    try:
        new = importlib.import_module("quorvex")
        assert new is not old
        assert new.QuorDict is old.QuorDict
        assert new.__all__ == ["QuorDict"] and new.__all__ is not old.__all__
    finally:
        sys.modules["quorvex"] = old


def test_reload_changes_nothing():
    all_list, cls = quorvex.__all__, quorvex.QuorDict
    assert importlib.reload(quorvex) is quorvex
    assert quorvex.__all__ is all_list and all_list == ["QuorDict"]
    assert quorvex.QuorDict is cls


def test_init_function_is_the_only_export():
    if shutil.which("nm") is None:
        pytest.skip("needs nm")
    listing = subprocess.run(["nm", "-D", "--defined-only", quorvex.__file__],
                             capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_quorvex"]
