// Conversions of arguments and results at the Python boundary.
#pragma once

#include "binding/error.hpp"

namespace quorvex {

// A binary64 from any object the interpreter's float conversion accepts; an
// exact float is read directly, an exact int or bool without a float object.
Result<double> extract_float(PyObject* object);

// A failed conversion of the named argument: an exact TypeError is rewritten
// as "argument '<name>': <message>", keeping the inner error's cause; any
// other error passes unchanged.
PyErr wrap_argument_error(const char* name, PyErr error);

// A new float object; failure to make one is a panic.
OwnedRef float_result(double value);

}  // namespace quorvex
