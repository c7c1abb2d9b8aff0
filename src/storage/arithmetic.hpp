// The element rules and the loops that apply them.
//
// Each rule is one binary64 operation, round to nearest, with nothing checked
// before or after: division by zero, overflow and NaN are ordinary results.
// The loops are straight passes over contiguous memory with no branch and
// no aliasing, so that the compiler vectorises them; every element's result
// depends on that element alone, so the vector form gives the same bits.
//
// NaN payloads. IEEE 754 leaves open which payload an operation returns when
// both operands are NaN. x86 returns its first source operand's, but the
// compiler may put either operand of + and * first (it commutes them freely,
// intrinsics included, and did so differently in the vector body and the tail
// of one loop), so the hardware alone gives no rule. Every rule therefore
// settles it itself: a NaN left operand (the receiver's value) gives that NaN
// with its quiet bit set, whatever the right operand holds. The choice is a
// select on the left operand's own bits, which no reordering of the
// arithmetic can change. It costs a compare and a blend per element, so the
// scalar loops skip it when the scalar is not NaN, where it has nothing to
// settle. When only the right operand is NaN the operation's own result
// stands: the processor returns that NaN quieted.
//
// The build targets baseline x86-64 (SSE2, two doubles a vector). On x86-64
// each loop is also compiled for AVX2 and AVX-512 and picked at run time, by
// measurement on an AMD Zen 4: adding, subtracting and multiplying are bound
// by memory and run about 10% faster with 256-bit vectors than with 512-bit
// ones, while division is bound by the divider, whose throughput grows with
// the vector width, and filling is fastest with full-line 512-bit stores.
// Every width computes the same correctly rounded operation per element and
// settles NaN payloads by the same select, so the results are identical bit
// for bit; which widths may run is decided in cpu_features.hpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "storage/cpu_features.hpp"

// The NaN select tests a value for NaN; with finite-math flags the compiler
// may assume the test false and drop the rule.
#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "the element rules need IEEE NaN semantics: do not build them with -ffast-math or -ffinite-math-only"
#endif

namespace quorvex {

// `result` of an operation on `left`, or `left` itself, quieted, if it is a
// NaN (see above).
[[gnu::always_inline]] inline double left_nan_or(double left, double result) {
    constexpr std::uint64_t quiet_bit = std::uint64_t{1} << 51;
    const double quieted = std::bit_cast<double>(std::bit_cast<std::uint64_t>(left) | quiet_bit);
    // GCC 12 vectorises the select only from this builtin: `left != left` and
    // std::isnan leave a branch in the loop, which then stays scalar.
    return __builtin_isunordered(left, left) ? quieted : result;
}

// `wide`: the rule gains from 512-bit vectors (see above). `operate` is the
// bare operation, `apply` the rule with its NaN select.
struct AddRule {
    static constexpr bool wide = false;
    static double operate(double left, double right) { return left + right; }
    static double apply(double left, double right) { return left_nan_or(left, operate(left, right)); }
};
struct SubtractRule {
    static constexpr bool wide = false;
    static double operate(double left, double right) { return left - right; }
    static double apply(double left, double right) { return left_nan_or(left, operate(left, right)); }
};
struct MultiplyRule {
    static constexpr bool wide = false;
    static double operate(double left, double right) { return left * right; }
    static double apply(double left, double right) { return left_nan_or(left, operate(left, right)); }
};
struct DivideRule {
    static constexpr bool wide = true;
    static double operate(double left, double right) { return left / right; }
    static double apply(double left, double right) { return left_nan_or(left, operate(left, right)); }
};

// A rule without its NaN select, for a right operand that is not NaN: a NaN
// result then carries the only NaN operand, the left one, in either order.
template <class Rule>
struct WithoutNanSelect {
    static constexpr bool wide = Rule::wide;
    static double apply(double left, double right) { return Rule::operate(left, right); }
};

namespace loops {

template <class Rule>
[[gnu::always_inline]] inline void scalar(const double* __restrict source, double scalar, double* __restrict out,
                                          std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = Rule::apply(source[i], scalar);
    }
}

template <class Rule>
[[gnu::always_inline]] inline void pairwise(const double* __restrict left, const double* __restrict right,
                                            double* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = Rule::apply(left[i], right[i]);
    }
}

[[gnu::always_inline]] inline void fill(double value, double* __restrict out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = value;
    }
}

// One set of entry points per instruction set; the loops above are inlined
// into each and vectorised for its registers. (`attributes` is an attribute
// list, which cannot be parenthesised.)
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QUORVEX_LOOP_SET(name, attributes)                                                               \
    struct name {                                                                                        \
        template <class Rule>                                                                            \
        attributes static void scalar(const double* __restrict source, double x, double* __restrict out, \
                                      std::size_t count) {                                               \
            loops::scalar<Rule>(source, x, out, count);                                                  \
        }                                                                                                \
        template <class Rule>                                                                            \
        attributes static void pairwise(const double* __restrict left, const double* __restrict right,   \
                                        double* __restrict out, std::size_t count) {                     \
            loops::pairwise<Rule>(left, right, out, count);                                              \
        }                                                                                                \
        attributes static void fill(double value, double* __restrict out, std::size_t count) {           \
            loops::fill(value, out, count);                                                              \
        }                                                                                                \
    };

QUORVEX_LOOP_SET(Baseline, )
#if defined(__x86_64__)
QUORVEX_LOOP_SET(Avx2, [[gnu::target("avx2")]])
QUORVEX_LOOP_SET(Avx512, [[gnu::target("avx512f,prefer-vector-width=512")]])
#endif
#undef QUORVEX_LOOP_SET
// NOLINTEND(bugprone-macro-parentheses)

// Calls f.template operator()<Set>() with the loop set to use: the widest
// this processor has, but no wider than 256 bits unless `wide`.
template <bool wide, class F>
void dispatch(F&& f) {
#if defined(__x86_64__)
    switch (widest()) {
        case Width::avx512:
            if constexpr (wide) {
                return f.template operator()<Avx512>();
            }
            [[fallthrough]];
        case Width::avx2: return f.template operator()<Avx2>();
        case Width::baseline: break;
    }
#endif
    f.template operator()<Baseline>();
}

}  // namespace loops

// out[i] = source[i] op scalar
template <class Rule>
void apply_scalar(const double* __restrict source, double scalar, double* __restrict out, std::size_t count) {
    // Scalars are rarely NaN; for all others the loop keeps its bare speed.
    if (__builtin_isunordered(scalar, scalar)) {
        loops::dispatch<Rule::wide>([&]<class Set>() { Set::template scalar<Rule>(source, scalar, out, count); });
    } else {
        loops::dispatch<Rule::wide>(
            [&]<class Set>() { Set::template scalar<WithoutNanSelect<Rule>>(source, scalar, out, count); });
    }
}

// out[i] = left[i] op right[i]
template <class Rule>
void apply_pairwise(const double* __restrict left, const double* __restrict right, double* __restrict out,
                    std::size_t count) {
    loops::dispatch<Rule::wide>([&]<class Set>() { Set::template pairwise<Rule>(left, right, out, count); });
}

// out[i] = value; the same bits everywhere (sign of zero, NaN payload).
inline void fill_with(double value, double* __restrict out, std::size_t count) {
    loops::dispatch<true>([&]<class Set>() { Set::fill(value, out, count); });
}

}  // namespace quorvex
