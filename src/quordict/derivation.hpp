// Deriving new instances from a receiver: scalar and aligned operations.
//
// A derived instance shares the receiver's KeyIndex and owns a fresh value
// array in the receiver's storage order, computed straight from the
// receiver's values in one pass. The receiver is never written.
#pragma once

#include "binding/error.hpp"
#include "quordict/quordict_object.hpp"
#include "storage/counted_ref.hpp"
#include "storage/value_array.hpp"

namespace quorvex {

enum class ScalarRule { add, subtract, multiply, divide, reset };
enum class AlignedRule { add, subtract, multiply, divide };

// The receiver's values with `scalar` applied at every position.
CountedRef<ValueArray> scalar_values(const QuorDictObject* receiver, ScalarRule rule, double scalar);

// The receiver's values combined with `other`'s, aligned on the receiver's
// keys, `fill` standing in where `other` lacks a key. Both instances must be
// borrowed by the caller.
CountedRef<ValueArray> aligned_values(const QuorDictObject* receiver, const QuorDictObject* other, AlignedRule rule,
                                      double fill);

// A new QuorDict sharing the receiver's key index and owning `values`.
Result<OwnedRef> new_derived_instance(const QuorDictObject* receiver, CountedRef<ValueArray> values);

}  // namespace quorvex
