#include "quordict/derivation.hpp"

#include "binding/panic.hpp"
#include "quordict/class_object.hpp"
#include "quordict/instance.hpp"
#include "storage/arithmetic.hpp"
#include "storage/bounds.hpp"
#include "storage/cpu_features.hpp"

namespace quorvex {
namespace {

template <class Rule>
CountedRef<ValueArray> scalar_values_by(const ValueArray& source, double scalar) {
    // One pass: the receiver's values are read once and the results written
    // straight into the new array.
    CountedRef<ValueArray> result = ValueArray::create(source.size());
    apply_scalar<Rule>(source.data(), scalar, result->data(), source.size());
    return result;
}

template <class Rule>
CountedRef<ValueArray> positional_values(const ValueArray& left, const ValueArray& right) {
    CountedRef<ValueArray> result = ValueArray::create(left.size());
    const std::size_t paired = std::min(left.size(), right.size());
    apply_pairwise<Rule>(left.data(), right.data(), result->data(), paired);
    std::copy(left.data() + paired, left.data() + left.size(), result->data() + paired);
    return result;
}

template <class Rule>
CountedRef<ValueArray> keyed_values(const QuorDictObject* receiver, const QuorDictObject* other, double fill) {
    // The copy of the receiver's values and the update are fused: each result
    // is written once, from the receiver's value and the matched one.
    const ValueArray& source = values_of(receiver);
    const std::size_t length = source.size();
    CountedRef<ValueArray> result = ValueArray::create(length);
    const double* in = source.data();
    double* out = result->data();
    const KeyIndex& other_keys = keys_of(other);
    if (other_keys.size() == 0) {
        apply_scalar<Rule>(in, fill, out, length);
        return result;
    }
    const ValueArray& other_values = values_of(other);
    const double* other_data = other_values.data();
    const std::size_t other_length = other_values.size();

    // The receiver's keys are read in position order (one sequential pass
    // over its key buffer), so position p is the p-th key looked up.
    const KeyIndex& own_keys = keys_of(receiver);
    KeyBuffer::Reader reader = own_keys.reader();
    other_keys.find_each(
        own_keys.size(), loops::widest() == loops::Width::avx512, [&] { return reader.next(); },
        [&](std::uint64_t candidate) {
            if (candidate < other_length) {
                __builtin_prefetch(other_data + candidate);
            }
        },
        [&](std::size_t p, std::optional<std::uint64_t> position) {
            if (p >= length) [[unlikely]] {
                index_out_of_bounds(length, p);
            }
            const double right = position ? other_values.at(static_cast<std::size_t>(*position)) : fill;
            // Each line of the result is asked for before it is written: a
            // store to a line not yet cached would wait behind the lookups'
            // misses for the core's miss buffers, holding up every later
            // store.
            __builtin_prefetch(out + p + 64, 1);
            out[p] = Rule::apply(in[p], right);
        });
    // Positions no key reaches (none while the index and the array agree in
    // length) keep the receiver's values, as in a copy updated by key.
    if (own_keys.size() < length) {
        std::copy(in + own_keys.size(), in + length, out + own_keys.size());
    }
    return result;
}

template <class Rule>
CountedRef<ValueArray> aligned_values_by(const QuorDictObject* receiver, const QuorDictObject* other, double fill) {
    const KeyIndex& mine = keys_of(receiver);
    const KeyIndex& theirs = keys_of(other);
    if (&mine == &theirs || (mine.size() == theirs.size() && same_layout(mine, theirs))) {
        return positional_values<Rule>(values_of(receiver), values_of(other));
    }
    return keyed_values<Rule>(receiver, other, fill);
}

}  // namespace

CountedRef<ValueArray> scalar_values(const QuorDictObject* receiver, ScalarRule rule, double scalar) {
    const ValueArray& source = values_of(receiver);
    switch (rule) {
        case ScalarRule::add: return scalar_values_by<AddRule>(source, scalar);
        case ScalarRule::subtract: return scalar_values_by<SubtractRule>(source, scalar);
        case ScalarRule::multiply: return scalar_values_by<MultiplyRule>(source, scalar);
        case ScalarRule::divide: return scalar_values_by<DivideRule>(source, scalar);
        case ScalarRule::reset: {
            CountedRef<ValueArray> result = ValueArray::create(source.size());
            fill_with(scalar, result->data(), source.size());
            return result;
        }
    }
    panic("internal error: entered unreachable code");
}

CountedRef<ValueArray> aligned_values(const QuorDictObject* receiver, const QuorDictObject* other, AlignedRule rule,
                                      double fill) {
    switch (rule) {
        case AlignedRule::add: return aligned_values_by<AddRule>(receiver, other, fill);
        case AlignedRule::subtract: return aligned_values_by<SubtractRule>(receiver, other, fill);
        case AlignedRule::multiply: return aligned_values_by<MultiplyRule>(receiver, other, fill);
        case AlignedRule::divide: return aligned_values_by<DivideRule>(receiver, other, fill);
    }
    panic("internal error: entered unreachable code");
}

Result<OwnedRef> new_derived_instance(const QuorDictObject* receiver, CountedRef<ValueArray> values) {
    CountedRef<KeyIndex> keys = share_keys(receiver);
    return new_instance(require_quordict_type(), std::move(keys), std::move(values));
}

}  // namespace quorvex
