// A shared, fixed-length array of doubles.
//
// Layout: one raw block
//     [ RefCount | length | pad to 16 ][ double 0 | double 1 | ... ]
// The header is exactly 16 bytes and the block is malloc-aligned (16 bytes on
// the targets we build for), so the values start 16-byte aligned and vector
// loops over them need no peeling. One allocation per array keeps creation to
// a single malloc and the values adjacent to their count.
//
// Invariants: length never changes; the values are written only through an
// owner that is unique (see make_writable), so shared arrays are immutable.
// Values are moved as bits (memcpy), so NaN payloads survive copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/bounds.hpp"
#include "lib/counted_ref.hpp"

namespace quorvex {

class alignas(16) ValueArray {
public:
    // A new array of n uninitialised values with one owner.
    static CountedRef<ValueArray> create(std::size_t n);

    ValueArray(const ValueArray&) = delete;
    ValueArray& operator=(const ValueArray&) = delete;

    std::size_t size() const noexcept { return length_; }

    double* data() noexcept { return reinterpret_cast<double*>(this + 1); }
    const double* data() const noexcept { return reinterpret_cast<const double*>(this + 1); }

    // Panics when p >= size().
    double at(std::size_t p) const {
        if (p >= length_) [[unlikely]] {
            index_out_of_bounds(length_, p);
        }
        return data()[p];
    }

    bool is_unique() const noexcept { return count_.is_one(); }

    void retain() const noexcept { count_.increment(); }
    void release() const noexcept;

private:
    explicit ValueArray(std::size_t n) noexcept : length_(n) {}
    ~ValueArray() = default;

    mutable RefCount count_;
    std::size_t length_;
};

static_assert(sizeof(ValueArray) == 16, "values must start right after a 16-byte header");

// Returns an array `ref` owns alone: *ref itself if unique, otherwise a
// bit-exact copy that replaces `ref` (dropping its share of the original).
// `ref` must not be empty.
ValueArray& make_writable(CountedRef<ValueArray>& ref);

}  // namespace quorvex
