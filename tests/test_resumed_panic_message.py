"""A PanicException raised by Python code inside a call comes back out of the
call as a new PanicException carrying the whole message, NULs included."""

import ctypes

import pytest

import quorvex


def panic_exception_type():
    """The class, from a refused borrow of `other` (the flag is the record's last word)."""
    victim = quorvex.QuorDict({})
    flag = ctypes.c_size_t.from_address(id(victim) + quorvex.QuorDict.__basicsize__ - ctypes.sizeof(ctypes.c_size_t))
    flag.value = (1 << (8 * ctypes.sizeof(ctypes.c_size_t))) - 1
    try:
        quorvex.QuorDict({}).add(victim)
    except BaseException as caught:  # noqa: B036 - the class derives from BaseException only
        return type(caught)
    finally:
        flag.value = 0


@pytest.mark.parametrize("message", ["nul\x00inside", "\x00", "trailing\x00", "ü\x00ß"],
                         ids=["inner", "only", "trailing", "non-ascii"])
def test_resumed_panic_keeps_nul_characters(message, capfd):
    PanicException = panic_exception_type()
    raised = PanicException(message)

    class Panicking:
        def __float__(self):
            raise raised

    with pytest.raises(PanicException) as caught:
        quorvex.QuorDict({"a": 1.0}).add_scalar(Panicking())
    assert caught.value is not raised
    assert caught.value.args == (message,)
    capfd.readouterr()
