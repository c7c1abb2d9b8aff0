// The module definition and the operations that add names to a module.
#pragma once

#include "binding/error.hpp"

namespace quorvex {

extern PyModuleDef quorvex_module_def;

int quorvex_exec(PyObject* module);

// Appends `name` to the module's __all__ (creating the list if missing) and
// sets the attribute. A failure to append is a panic.
Status module_add(PyObject* module, PyObject* name, PyObject* value);

// A new reference to the module's __all__ list, created if missing.
Result<OwnedRef> module_all_list(PyObject* module);

}  // namespace quorvex
