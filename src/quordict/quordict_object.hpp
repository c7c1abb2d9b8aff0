// The object record of a QuorDict instance.
//
//   +----------------------+
//   | PyObject_HEAD        |  reference count, type
//   | keys        ---------+--> KeyIndex   (counted; shared by a whole family)
//   | values      ---------+--> ValueArray (counted; this instance's values)
//   | borrow_flag          |  0 free, n shared borrows, all bits set exclusive
//   +----------------------+
//
// There is no attribute dictionary and no weak-reference list: instances
// hold no Python objects, take no attributes and are not GC-tracked.
// `keys` and `values` are set once, by `new_instance`, and never changed; the
// record owns one count on each and releases them when deallocated.
#pragma once

#include <atomic>
#include <cstddef>

#include "binding/python.hpp"

namespace quorvex {

class KeyIndex;
class ValueArray;

struct QuorDictObject {
    PyObject_HEAD
    KeyIndex* keys;
    ValueArray* values;
    // Only ever accessed through std::atomic_ref: the interpreter allocates
    // the record as zero-filled C memory.
    std::size_t borrow_flag;

    std::atomic_ref<std::size_t> borrow_state() noexcept { return std::atomic_ref<std::size_t>(borrow_flag); }
};

inline QuorDictObject* as_quordict(PyObject* object) noexcept {
    return reinterpret_cast<QuorDictObject*>(object);
}

}  // namespace quorvex
