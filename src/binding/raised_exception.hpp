// The interpreter's current exception, moved out as a normalised triple and
// set again from one.
//
// CPython 3.12 keeps only the exception instance (its traceback is its
// __traceback__) and deprecates PyErr_Fetch, PyErr_Restore and
// PyErr_NormalizeException; there these use PyErr_GetRaisedException and
// PyErr_SetRaisedException, which do the same for a normalised triple.
#pragma once

#include "binding/refs.hpp"

namespace quorvex {

struct RaisedException {
    OwnedRef type;  // empty when no exception was set
    OwnedRef value;
    OwnedRef traceback;  // may be empty
};

// Moves the current exception out and normalises it; the interpreter's
// exception is then clear.
RaisedException take_raised_exception();

// Sets the current exception from a normalised triple, consuming it.
void restore_raised_exception(RaisedException raised) noexcept;

}  // namespace quorvex
