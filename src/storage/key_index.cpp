#include "storage/key_index.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "storage/raw_memory.hpp"

namespace quorvex {

// The offset column follows the header directly and must stay 8-aligned.
static_assert(sizeof(KeyIndex) % alignof(std::uint64_t) == 0);

KeyIndex::KeyIndex(HashSeed seed, std::size_t n, std::uint64_t* offsets, ProbeTable slots, KeyBuffer keys) noexcept
    : seed_(seed), size_(n), offsets_(offsets), slots_(slots), keys_(std::move(keys)) {}

void KeyIndex::release() const noexcept {
    if (count_.decrement()) {
        auto* self = const_cast<KeyIndex*>(this);
        self->~KeyIndex();  // frees the key buffer
        raw_free(self);     // the header starts the block
    }
}

Storage build_storage(EntryTable&& table) {
    // Taking the table by value leaves the caller's table empty.
    EntryTable consumed = std::move(table);
    consumed.place_pending();
    const std::size_t n = consumed.size_;

    CountedRef<ValueArray> values = std::move(consumed.values_);
    if (values->size() != n) {
        // Only keys of a str subclass whose equality differs from str's can
        // repeat; the array must still be exactly as long as the index.
        CountedRef<ValueArray> exact = ValueArray::create(n);
        std::memcpy(exact->data(), values->data(), n * sizeof(double));
        values = std::move(exact);
    }
    // Offsets survive the trim even if realloc moves the texts.
    consumed.keys_.shrink_to_fit();
    void* block = consumed.block_.release();
    auto* index =
        ::new (block) KeyIndex(consumed.seed_, n, consumed.offsets_, consumed.slots_, std::move(consumed.keys_));
    return {CountedRef<KeyIndex>::adopt(index), std::move(values)};
}

bool same_layout(const KeyIndex& a, const KeyIndex& b) {
    if (&a == &b) {
        return true;
    }
    // Positions are record numbers, and the keys of an index are distinct, so
    // "every key of a sits at the same position in b" is "b holds the same
    // records in the same order": one comparison that stops at the first
    // difference, with no hashing.
    return a.size_ == b.size_ && a.keys_.records() == b.keys_.records();
}

}  // namespace quorvex
