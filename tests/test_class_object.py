"""The QuorDict class object: names, layout, flags, docstrings and text signatures, namespace, and what the class does not support."""

import gc
import operator
import re
import sys
import weakref

import pytest

from interpreter_texts import attribute_setting_error
from quorvex import QuorDict

MASK = QuorDict({"a": 1.0})

# name, text signature, summary lines, example lines, in method-table order.
METHODS = [
    ("add_scalar", "($self, value)", ["Adds a scalar value (single value) to every value in the dictionary."],
     ['>>> d = qv.QuorDict({"a": 1.0, "b": 2.0})', ">>> d.add_scalar(10.0).to_dict", "{'a': 11.0, 'b': 12.0}"]),
    ("add", "($self, other, fill=0.0)",
     ["Adds values (d1 + d2), aligned on d1s keys. Only keys from d1 are",
      "considered, if key from d1 is absent from d2, a fill value can optionally",
      "be used as the argument for +."],
     ['>>> d1 = qv.QuorDict({"a": 1.0, "b": 2.0})', '>>> d2 = qv.QuorDict({"b": 10.0})', ">>> d1.add(d2).to_dict",
      "{'a': 1.0, 'b': 12.0}", ">>> d1.add(d2, fill=5.0).to_dict", "{'a': 6.0, 'b': 12.0}"]),
    ("subtract_scalar", "($self, value)", ["Subtracts a scalar value (single value) to every value in the dictionary."],
     ['>>> d = qv.QuorDict({"a": 5.0, "b": 10.0})', ">>> d.subtract_scalar(3.0).to_dict", "{'a': 2.0, 'b': 7.0}"]),
    ("subtract", "($self, other, fill=0.0)",
     ["Subtracts values (d1 - d2), aligned on d1s keys. Only keys from d1 are",
      "considered, if key from d1 is absent from d2, a fill value can optionally",
      "be used as the argument for -."],
     ['>>> d1 = qv.QuorDict({"a": 10.0, "b": 5.0})', '>>> d2 = qv.QuorDict({"b": 2.0})',
      ">>> d1.subtract(d2).to_dict", "{'a': 10.0, 'b': 3.0}"]),
    ("multiply_scalar", "($self, value)",
     ["Multiplies a scalar value (single value) to every value in the dictionary."],
     ['>>> d = qv.QuorDict({"a": 2.0, "b": 5.0})', ">>> d.multiply_scalar(3.0).to_dict", "{'a': 6.0, 'b': 15.0}"]),
    ("multiply", "($self, other, fill=1.0)",
     ["Multiplies values (d1 * d2), aligned on d1s keys. Only keys from d1 are",
      "considered, if key from d1 is absent from d2, a fill value can optionally",
      "be used as the argument for *."],
     ['>>> d1 = qv.QuorDict({"a": 2.0, "b": 3.0})', '>>> d2 = qv.QuorDict({"b": 10.0})',
      ">>> d1.multiply(d2).to_dict", "{'a': 2.0, 'b': 30.0}"]),
    ("divide_scalar", "($self, value)", ["Divides a scalar value (single value) to every value in the dictionary."],
     ['>>> d = qv.QuorDict({"a": 10.0, "b": 6.0})', ">>> d.divide_scalar(2.0).to_dict", "{'a': 5.0, 'b': 3.0}"]),
    ("divide", "($self, other, fill=1.0)",
     ["Divides values (d1 / d2), aligned on d1s keys. Only keys from d1 are",
      "considered, if key from d1 is absent from d2, a fill value can optionally",
      "be used as the argument for /."],
     ['>>> d1 = qv.QuorDict({"a": 10.0, "b": 6.0})', '>>> d2 = qv.QuorDict({"b": 2.0})',
      ">>> d1.divide(d2).to_dict", "{'a': 10.0, 'b': 3.0}"]),
    ("sum", "($self)", ["Sum of values."],
     ['>>> d = qv.QuorDict({"a": 1.0, "b": 2.0, "c": 3.0})', ">>> d.sum()", "6.0"]),
    ("product", "($self)", ["Product of values."],
     ['>>> d = qv.QuorDict({"a": 2.0, "b": 3.0, "c": 4.0})', ">>> d.product()", "24.0"]),
    ("reset", "($self, value)", ["Sets all values to passed in value"],
     ['>>> d = qv.QuorDict({"a": 1.0, "b": 2.0})', ">>> d.reset(99.0).to_dict", "{'a': 99.0, 'b': 99.0}"]),
]
METHOD_NAMES = [name for name, *_ in METHODS]


def doc_body(summary, examples):
    return "\n".join([*summary, "", "# Examples", "", "```python", *examples, "```"])


def test_names_and_representations():
    assert (QuorDict.__name__, QuorDict.__qualname__, QuorDict.__module__) == ("QuorDict", "QuorDict", "builtins")
    assert repr(QuorDict) == "<class 'builtins.QuorDict'>"
    assert re.fullmatch(r"<builtins\.QuorDict object at 0x[0-9a-f]+>", repr(MASK))
    assert QuorDict.__bases__ == (object,)


def test_record_layout():
    assert QuorDict.__basicsize__ == 40
    assert (QuorDict.__itemsize__, QuorDict.__dictoffset__, QuorDict.__weakrefoffset__) == (0, 0, 0)
    assert not gc.is_tracked(MASK)


@pytest.mark.parametrize("bit,present", [
    (1 << 7, False), (1 << 8, False), (1 << 9, True), (1 << 10, False), (1 << 14, False),
], ids=["disallow-instantiation", "immutabletype", "heaptype", "basetype", "have-gc"])
def test_flags(bit, present):
    assert bool(QuorDict.__flags__ & bit) is present


def test_class_doc_and_signature():
    assert QuorDict.__text_signature__ == "(dict)"
    assert QuorDict.__doc__ == ""


@pytest.mark.parametrize("name,signature,summary,examples", METHODS, ids=METHOD_NAMES)
def test_method_doc_and_signature(name, signature, summary, examples):
    method = vars(QuorDict)[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc_body(summary, examples)


def test_property_doc():
    prop = vars(QuorDict)["to_dict"]
    assert prop.__doc__ == doc_body(["Returns the underlying dictionary."],
                                    ['>>> d = qv.QuorDict({"x": 42.0})', ">>> d.to_dict", "{'x': 42.0}"])


def test_namespace_holds_the_table_and_nothing_else():
    namespace = vars(QuorDict)
    assert set(namespace) == set(METHOD_NAMES) | {"to_dict", "__new__", "__doc__", "__module__"}
    assert [key for key in namespace if key in METHOD_NAMES] == METHOD_NAMES


def test_no_argument_methods_use_the_interpreters_check():
    with pytest.raises(TypeError) as caught:
        MASK.sum(1)
    assert caught.value.args == ("QuorDict.sum() takes no arguments (1 given)",)
    with pytest.raises(TypeError) as caught:
        MASK.product(x=1)
    assert caught.value.args == ("QuorDict.product() takes no keyword arguments",)


def test_subclassing_is_refused():
    with pytest.raises(TypeError) as caught:
        type("Sub", (QuorDict,), {})
    assert caught.value.args == ("type 'builtins.QuorDict' is not an acceptable base type",)


def test_instances_take_no_attributes_and_no_weak_references():
    with pytest.raises(AttributeError) as caught:
        MASK.x = 1
    assert caught.value.args == (attribute_setting_error("builtins.QuorDict"),)
    with pytest.raises(TypeError) as caught:
        weakref.ref(MASK)
    assert caught.value.args == ("cannot create weak reference to 'builtins.QuorDict' object",)


@pytest.mark.parametrize("change", [lambda d: setattr(d, "to_dict", {}), lambda d: delattr(d, "to_dict")],
                         ids=["set", "delete"])
def test_to_dict_is_read_only(change):
    with pytest.raises(AttributeError) as caught:
        change(MASK)
    assert caught.value.args == ("attribute 'to_dict' of 'builtins.QuorDict' objects is not writable",)
    assert MASK.to_dict == {"a": 1.0}


def test_class_attributes_can_be_set():
    QuorDict.extra = 5
    try:
        assert MASK.extra == 5
    finally:
        del QuorDict.extra
    assert not hasattr(QuorDict, "extra")


def test_identity_equality_and_hash():
    twin = QuorDict({"a": 1.0})
    assert MASK == MASK and MASK != twin and not (MASK == twin)
    assert hash(MASK) == object.__hash__(MASK) and hash(twin) == object.__hash__(twin)
    assert {MASK: 1, twin: 2}[twin] == 2


@pytest.mark.parametrize("use", [
    len, iter, lambda d: d["a"], lambda d: "a" in d, lambda d: d < d, operator.neg, abs,
    lambda d: d + d, lambda d: d - 1.0, lambda d: d * 2.0, lambda d: d / d, lambda d: d(),
], ids=["len", "iter", "subscript", "contains", "order", "neg", "abs", "add", "sub", "mul", "truediv", "call"])
def test_unsupported_protocols(use):
    with pytest.raises(TypeError):
        use(MASK)


def test_instances_release_their_class_reference():
    def delta():
        before = sys.getrefcount(QuorDict)
        kept = [QuorDict({"a": 1.0, "b": 2.0}).add_scalar(1.0) for _ in range(200)]
        assert sys.getrefcount(QuorDict) == before + len(kept)
        del kept
        return sys.getrefcount(QuorDict) - before

    delta()
    assert [delta() for _ in range(3)] == [0, 0, 0]
