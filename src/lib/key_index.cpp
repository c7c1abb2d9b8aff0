#include "lib/key_index.hpp"

#include <new>
#include <string>
#include <utility>

#include "binding/panic.hpp"
#include "lib/hash_seed.hpp"
#include "lib/raw_memory.hpp"

namespace quorvex {

// The offset column follows the header directly and must stay 8-aligned.
static_assert(sizeof(KeyIndex) % alignof(std::uint64_t) == 0);

KeyIndex::KeyIndex(HashSeed seed, std::size_t n, std::uint64_t* offsets, ProbeTable slots,
                   KeyBuffer keys) noexcept
    : seed_(seed), size_(n), offsets_(offsets), slots_(slots), keys_(std::move(keys)) {}

CountedRef<KeyIndex> KeyIndex::create(std::size_t n, KeyBuffer keys) {
    if (n > ProbeTable::max_entries) {
        panic("hash table capacity " + std::to_string(n) + " exceeds the limit of " +
              std::to_string(ProbeTable::max_entries) + " entries");
    }
    const HashSeed seed = next_table_seed();
    const std::size_t slot_count = ProbeTable::slot_count_for(n);
    void* block = raw_allocate(sizeof(KeyIndex) + n * sizeof(std::uint64_t) + ProbeTable::bytes_for(slot_count));
    auto* offsets = reinterpret_cast<std::uint64_t*>(static_cast<unsigned char*>(block) + sizeof(KeyIndex));
    ProbeTable slots(offsets + n, slot_count);
    // Nothing below can throw, so the block cannot leak between here and adopt.
    return CountedRef<KeyIndex>::adopt(::new (block) KeyIndex(seed, n, offsets, slots, std::move(keys)));
}

void KeyIndex::release() const noexcept {
    if (count_.decrement()) {
        auto* self = const_cast<KeyIndex*>(this);
        self->~KeyIndex();  // frees the key buffer
        raw_free(self);
    }
}

void KeyIndex::place(std::uint64_t offset, std::uint32_t position) noexcept {
    const std::uint64_t hash = keyed_hash(seed_, keys_.key_at(offset));
    slots_.occupy(slots_.find_empty(hash), hash, position);
    offsets_[position] = offset;
}

std::optional<std::uint64_t> KeyIndex::find(std::string_view key) const {
    const ProbeTable::Probe probe = slots_.find(
        keyed_hash(seed_, key), [&](std::uint32_t position) { return keys_.key_at(offsets_[position]) == key; });
    if (!probe.found) {
        return std::nullopt;
    }
    return slots_.value_at(probe.slot);
}

Storage build_storage(EntryTable&& table) {
    // Taking the table by value frees its columns when this returns, and leaves
    // the caller's table empty.
    EntryTable consumed = std::move(table);
    const std::size_t n = consumed.size_;

    CountedRef<ValueArray> values = ValueArray::create(n);
    // The texts move, not copy; the trim may let realloc move the block once,
    // which is why no key view is taken before it.
    consumed.keys_.shrink_to_fit();
    CountedRef<KeyIndex> index = KeyIndex::create(n, std::move(consumed.keys_));

    double* out = values->data();
    std::uint32_t position = 0;
    consumed.slots_.for_each([&](std::uint32_t entry) {
        out[position] = consumed.values_[entry];
        index->place(consumed.offsets_[entry], position);
        ++position;
    });
    return {std::move(index), std::move(values)};
}

bool same_layout(const KeyIndex& a, const KeyIndex& b) {
    if (&a == &b) {
        return true;
    }
    if (a.size_ != b.size_) {
        return false;
    }
    return a.slots_.all_of([&](std::uint32_t position) {
        const std::optional<std::uint64_t> found = b.find(a.keys_.key_at(a.offsets_[position]));
        return found && *found == position;
    });
}

}  // namespace quorvex
