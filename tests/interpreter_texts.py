"""What the running interpreter says for failures that the module passes on.

The interpreter words these errors differently from one version to the next,
so a test compares the module's exception with the one the interpreter raises
here for the same failure, never with a copy of one version's text.
"""

import math


def float_conversion_error(value):
    """The exception of the interpreter's own float conversion of `value`.

    math.sqrt converts its argument as the module converts a number (through
    __float__, else __index__), so it fails the same way. With warnings turned
    into errors, a warning of that conversion is what it raises.
    """
    try:
        math.sqrt(value)
    except BaseException as error:
        return error
    raise AssertionError(f"{value!r} converts to a float")


def attribute_setting_error(type_name):
    """The AttributeError text for setting attribute 'x' on an instance of a
    type named `type_name` that has no __dict__."""
    try:
        object().x = 1
    except AttributeError as error:
        return str(error).replace("'object'", f"'{type_name}'", 1)
    raise AssertionError("a plain object took an attribute")
