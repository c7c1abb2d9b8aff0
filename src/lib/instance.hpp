// Making and releasing QuorDict instances from their two storage holders.
#pragma once

#include "binding/error.hpp"
#include "lib/counted_ref.hpp"
#include "lib/key_index.hpp"
#include "lib/quordict_object.hpp"
#include "lib/value_array.hpp"

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

// New counted references to an instance's holders.
CountedRef<KeyIndex> share_keys(const QuorDictObject* instance);
CountedRef<ValueArray> share_values(const QuorDictObject* instance);

}  // namespace quorvex
