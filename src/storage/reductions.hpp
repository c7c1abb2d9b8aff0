// Reductions of an instance's values to one binary64.
//
// One accumulator, strictly sequential in storage order, rounded after every
// step: no pairwise, compensated or multi-lane summation, since any of those
// changes the last bits. The loops must not be built with reassociating
// floating-point flags (such as -ffast-math).
//
// The accumulator is the left operand of every step, so a NaN result follows
// the element rules' NaN rule: the first NaN the accumulator takes is kept.
// The select that settles it would lengthen the loop's dependency chain, so
// the plain loop runs first and the settled one only when the plain result is
// NaN: until the accumulator is NaN the two compute the same values, and once
// it is, both stay NaN.
#pragma once

#include <cstddef>

#include "storage/arithmetic.hpp"

namespace quorvex {

template <class Rule>
double settled_fold(double total, const double* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        total = Rule::apply(total, values[i]);
    }
    return total;
}

inline double sequential_sum(const double* values, std::size_t count) {
    constexpr double identity = -0.0;  // the identity of +, so that an empty sum is -0.0
    double total = identity;
    for (std::size_t i = 0; i < count; ++i) {
        total += values[i];
    }
    if (total != total) [[unlikely]] {
        return settled_fold<AddRule>(identity, values, count);
    }
    return total;
}

inline double sequential_product(const double* values, std::size_t count) {
    double total = 1.0;
    for (std::size_t i = 0; i < count; ++i) {
        total *= values[i];
    }
    if (total != total) [[unlikely]] {
        return settled_fold<MultiplyRule>(1.0, values, count);
    }
    return total;
}

}  // namespace quorvex
