// pyo3_runtime.PanicException: the Python face of a panic.
//
// The class derives from BaseException, not Exception, so that an ordinary
// `except Exception` does not swallow an internal failure. It is created once
// per process on first need and never released.
#pragma once

#include <string>

#include "binding/refs.hpp"

namespace quorvex {

// The class object (borrowed; it lives for the rest of the process), or null
// with the interpreter's exception set when it cannot be created.
PyObject* panic_exception_type();

// Turns a PanicException that Python code let escape back into a panic:
// writes the resume header and the exception's traceback to stderr, then
// continues the panic with the exception's text. Consumes the triple.
[[noreturn]] void resume_panic_from_python(OwnedRef type, OwnedRef value, OwnedRef traceback);

}  // namespace quorvex
