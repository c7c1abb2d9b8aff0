// Making and releasing QuorDict instances from their two storage holders.
#pragma once

#include "binding/borrow.hpp"
#include "binding/error.hpp"
#include "quordict/quordict_object.hpp"
#include "storage/counted_ref.hpp"
#include "storage/key_index.hpp"
#include "storage/value_array.hpp"

namespace quorvex {

// A new instance of `type` owning the two references. If the object cannot
// be allocated, both references are released and the error returned.
Result<OwnedRef> new_instance(PyTypeObject* type, CountedRef<KeyIndex> keys, CountedRef<ValueArray> values);

// Read access to an instance's storage (valid while the instance lives).
inline const KeyIndex& keys_of(const QuorDictObject* instance) {
    return *instance->keys;
}
inline const ValueArray& values_of(const QuorDictObject* instance) {
    return *instance->values;
}

// A new counted reference to an instance's key index.
CountedRef<KeyIndex> share_keys(const QuorDictObject* instance);

// The object as a QuorDict instance, or the cast error for target QuorDict.
Result<QuorDictObject*> extract_instance(PyObject* object);

// Borrows of instances (see binding/borrow.hpp).
using InstanceBorrow = SharedBorrow<QuorDictObject>;
using ArgumentInstanceBorrow = ArgumentBorrow<QuorDictObject>;

}  // namespace quorvex
