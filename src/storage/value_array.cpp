#include "storage/value_array.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "storage/host.hpp"
#include "storage/raw_memory.hpp"

namespace quorvex {

namespace {

constexpr std::size_t line = 64;
// Raw blocks are aligned as malloc aligns them, for any fundamental type: 16
// bytes on most 64-bit targets, 8 on some (s390x). The header may need to
// move up to a line less that alignment to put the values on a line boundary.
constexpr std::size_t block_alignment = alignof(std::max_align_t) < line ? alignof(std::max_align_t) : line;
constexpr std::size_t max_lead = line - block_alignment;

}  // namespace

CountedRef<ValueArray> ValueArray::create(std::size_t n) {
    constexpr std::size_t max_n =
        (std::numeric_limits<std::size_t>::max() - sizeof(ValueArray) - max_lead) / sizeof(double);
    if (n > max_n) {
        storage_fault("capacity overflow: " + std::to_string(n) + " values");
    }
    auto* block = static_cast<unsigned char*>(raw_allocate(max_lead + sizeof(ValueArray) + n * sizeof(double)));
    const auto values_at = reinterpret_cast<std::uintptr_t>(block) + sizeof(ValueArray);
    const std::size_t lead = (line - values_at % line) % line;
    return CountedRef<ValueArray>::adopt(::new (block + lead) ValueArray(n, lead));
}

void ValueArray::release() const noexcept {
    if (count_.decrement()) {
        auto* self = const_cast<ValueArray*>(this);
        const std::size_t lead = self->lead_;
        self->~ValueArray();
        raw_free(reinterpret_cast<unsigned char*>(self) - lead);
    }
}

}  // namespace quorvex
