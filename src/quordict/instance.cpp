#include "quordict/instance.hpp"

#include "quordict/class_object.hpp"
#include "quordict/quordict_entries.hpp"

namespace quorvex {

Result<OwnedRef> new_instance(PyTypeObject* type, CountedRef<KeyIndex> keys, CountedRef<ValueArray> values) {
    Result<OwnedRef> allocated = allocate_instance(type);
    if (!allocated.ok()) {
        return allocated.take_error();
    }
    QuorDictObject* record = as_quordict(allocated.value().get());
    record->keys = keys.leak();
    record->values = values.leak();
    record->borrow_state().store(0, std::memory_order_relaxed);
    return allocated;
}

CountedRef<KeyIndex> share_keys(const QuorDictObject* instance) {
    instance->keys->retain();
    return CountedRef<KeyIndex>::adopt(instance->keys);
}

Result<QuorDictObject*> extract_instance(PyObject* object) {
    PyTypeObject* type = require_quordict_type();
    if (Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type)) {
        return as_quordict(object);
    }
    return cast_error(object, "QuorDict");
}

void quordict_release_storage(PyObject* self) {
    QuorDictObject* record = as_quordict(self);
    // The key index first, then the values; either may be the last holder.
    CountedRef<KeyIndex>::adopt(std::exchange(record->keys, nullptr)).reset();
    CountedRef<ValueArray>::adopt(std::exchange(record->values, nullptr)).reset();
}

}  // namespace quorvex
