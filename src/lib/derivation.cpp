#include "lib/derivation.hpp"

#include "binding/class_object.hpp"
#include "binding/panic.hpp"
#include "lib/arithmetic.hpp"
#include "lib/bounds.hpp"
#include "lib/instance.hpp"

namespace quorvex {
namespace {

template <class Rule>
CountedRef<ValueArray> scalar_values_by(const ValueArray& source, double scalar) {
    // Copy and rule fused into one pass: the copy that a shared array would
    // need is written straight with the results.
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
    // Lookups dominate here, so the result takes the plain form: a writable
    // copy of the receiver's values, updated position by position.
    CountedRef<ValueArray> result = share_values(receiver);
    ValueArray& out = make_writable(result);
    double* cells = out.data();
    const std::size_t length = out.size();
    auto checked = [length](std::uint64_t position) {
        if (position >= length) {
            index_out_of_bounds(length, static_cast<std::size_t>(position));
        }
        return static_cast<std::size_t>(position);
    };
    const KeyIndex& other_keys = keys_of(other);
    const ValueArray& other_values = values_of(other);
    if (other_keys.size() == 0) {
        keys_of(receiver).for_each([&](std::string_view, std::uint64_t position) {
            const std::size_t p = checked(position);
            cells[p] = Rule::apply(cells[p], fill);
        });
        return result;
    }
    keys_of(receiver).for_each([&](std::string_view key, std::uint64_t position) {
        const std::size_t p = checked(position);
        const std::optional<std::uint64_t> found = other_keys.find(key);
        const double right = found ? other_values.at(static_cast<std::size_t>(*found)) : fill;
        cells[p] = Rule::apply(cells[p], right);
    });
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
