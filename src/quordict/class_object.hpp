// Access to the QuorDict class object.
//
// The class is a heap type made with PyType_FromSpec on first need
// and cached for the life of the process: one class object per process, which
// every module object and every instance refers to.
#pragma once

#include "binding/error.hpp"

namespace quorvex {

// The class object (borrowed from the cache), created on first call. On
// failure: RuntimeError "An error occurred while initializing class QuorDict"
// with the creation error as its cause.
Result<PyTypeObject*> get_quordict_type();

// The class object, or a panic "failed to create type object for `QuorDict`".
PyTypeObject* require_quordict_type();

// A new zero-filled object of `subtype`, through object's tp_new.
Result<OwnedRef> allocate_instance(PyTypeObject* subtype);

}  // namespace quorvex
