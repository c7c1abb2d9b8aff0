// Between Python dicts and QuorDict storage: construction and to_dict.
#pragma once

#include "binding/error.hpp"
#include "quordict/quordict_object.hpp"

namespace quorvex {

// A new instance of `type` holding the entries of `dict` (a dict or a dict
// subclass, walked through its own storage).
Result<OwnedRef> construct_from_dict(PyTypeObject* type, PyObject* dict);

// A new dict holding every key of `instance` with its value.
Result<OwnedRef> build_dict(const QuorDictObject* instance);

}  // namespace quorvex
