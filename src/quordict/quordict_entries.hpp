// The functions the interpreter calls on QuorDict: each runs its body in the
// call frame. Declared here for the class's method table and slots.
#pragma once

#include "binding/error.hpp"

namespace quorvex {

PyObject* quordict_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);

PyObject* quordict_add_scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_subtract_scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_multiply_scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_divide_scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* quordict_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_subtract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_multiply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* quordict_divide(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* quordict_sum(PyObject* self, PyObject* unused);
PyObject* quordict_product(PyObject* self, PyObject* unused);

// The body of the `to_dict` property (run by the property's getter).
Result<OwnedRef> quordict_to_dict(PyObject* self);

// Releases an instance's storage; the class's deallocation calls it first.
void quordict_release_storage(PyObject* self);

}  // namespace quorvex
