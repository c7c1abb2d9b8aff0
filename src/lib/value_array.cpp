#include "lib/value_array.hpp"

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "binding/panic.hpp"
#include "lib/raw_memory.hpp"

namespace quorvex {

static_assert(alignof(std::max_align_t) >= alignof(ValueArray),
              "raw blocks must be aligned enough for the value header");

CountedRef<ValueArray> ValueArray::create(std::size_t n) {
    constexpr std::size_t max_n = (std::numeric_limits<std::size_t>::max() - sizeof(ValueArray)) / sizeof(double);
    if (n > max_n) {
        panic("capacity overflow: " + std::to_string(n) + " values");
    }
    void* block = raw_allocate(sizeof(ValueArray) + n * sizeof(double));
    return CountedRef<ValueArray>::adopt(::new (block) ValueArray(n));
}

void ValueArray::release() const noexcept {
    if (count_.decrement()) {
        auto* self = const_cast<ValueArray*>(this);
        self->~ValueArray();
        raw_free(self);
    }
}

ValueArray& make_writable(CountedRef<ValueArray>& ref) {
    if (ref->is_unique()) {
        return *ref;
    }
    CountedRef<ValueArray> copy = ValueArray::create(ref->size());
    std::memcpy(copy->data(), ref->data(), ref->size() * sizeof(double));
    ref = std::move(copy);
    return *ref;
}

}  // namespace quorvex
