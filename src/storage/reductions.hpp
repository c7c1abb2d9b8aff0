// Reductions of an instance's values to one binary64.
//
// One accumulator, strictly sequential in storage order, rounded after every
// step: no pairwise, compensated or multi-lane summation, since any of those
// changes the last bits. The loops must not be built with reassociating
// floating-point flags (such as -ffast-math).
#pragma once

#include <cstddef>

namespace quorvex {

inline double sequential_sum(const double* values, std::size_t count) {
    double total = -0.0;  // the identity of +, so that an empty sum is -0.0
    for (std::size_t i = 0; i < count; ++i) {
        total += values[i];
    }
    return total;
}

inline double sequential_product(const double* values, std::size_t count) {
    double total = 1.0;
    for (std::size_t i = 0; i < count; ++i) {
        total *= values[i];
    }
    return total;
}

}  // namespace quorvex
