// The element rules and the loops that apply them.
//
// Each rule is one binary64 operation, round to nearest, with nothing checked
// before or after: division by zero, overflow and NaN are ordinary results.
// The loops are straight passes over contiguous memory with no branch and
// no aliasing, so that the compiler vectorises them; every element's result
// depends on that element alone, so the vector form gives the same bits.
#pragma once

#include <cstddef>

namespace quorvex {

struct AddRule {
    static double apply(double left, double right) { return left + right; }
};
struct SubtractRule {
    static double apply(double left, double right) { return left - right; }
};
struct MultiplyRule {
    static double apply(double left, double right) { return left * right; }
};
struct DivideRule {
    static double apply(double left, double right) { return left / right; }
};

// out[i] = source[i] op scalar
template <class Rule>
void apply_scalar(const double* __restrict source, double scalar, double* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = Rule::apply(source[i], scalar);
    }
}

// out[i] = left[i] op right[i]
template <class Rule>
void apply_pairwise(const double* __restrict left, const double* __restrict right, double* __restrict out,
                    std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = Rule::apply(left[i], right[i]);
    }
}

// out[i] = value; the same bits everywhere (sign of zero, NaN payload).
inline void fill_with(double value, double* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = value;
    }
}

}  // namespace quorvex
