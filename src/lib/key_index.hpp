// The immutable key -> position index of a dictionary.
//
// Layout: one raw block
//     [ KeyIndex header ][ key offset (uint64) × n ][ ProbeTable: uint32 × slots, control × slots ]
// plus the KeyBuffer taken over from the EntryTable it was built from (trimmed
// to its used size, each key stored once as varint length + bytes). The probe
// table maps a key to its position; offsets[position] locates the key's text.
// Positions are exactly 0..n-1 and index the dictionary's ValueArray.
//
// Space per key (n keys, slot count s <= 16/7 n in the worst case, k key bytes):
//     8 (offset) + 5 s / n (slot + control) + 1 + k (record)  <= 20.5 + k
// and the ValueArray adds 8: about 38.5 bytes for 10-byte keys.
//
// Each index hashes with its own seed, so two indexes over the same keys
// usually order their slots differently and assign different positions;
// same_layout tells when they agree. The index is shared by counted
// reference and is never modified after build_storage returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/bounds.hpp"
#include "lib/counted_ref.hpp"
#include "lib/entry_table.hpp"
#include "lib/key_buffer.hpp"
#include "lib/probe_table.hpp"
#include "lib/siphash.hpp"
#include "lib/value_array.hpp"

namespace quorvex {

class KeyIndex {
public:
    KeyIndex(const KeyIndex&) = delete;
    KeyIndex& operator=(const KeyIndex&) = delete;

    std::size_t size() const noexcept { return size_; }

    std::optional<std::uint64_t> find(std::string_view key) const;

    // Calls f(std::string_view key, std::uint64_t position) in slot order.
    template <class F>
    void for_each(F&& f) const {
        slots_.for_each([&](std::uint32_t position) {
            f(keys_.key_at(offsets_[position]), static_cast<std::uint64_t>(position));
        });
    }

    // Panics when position >= size().
    std::string_view key_at(std::uint64_t position) const {
        if (position >= size_) [[unlikely]] {
            index_out_of_bounds(size_, position);
        }
        return keys_.key_at(offsets_[position]);
    }

    void retain() const noexcept { count_.increment(); }
    void release() const noexcept;

private:
    friend Storage build_storage(EntryTable&& table);
    friend bool same_layout(const KeyIndex& a, const KeyIndex& b);

    // An index with room for n keys and no entries yet, owning `keys`.
    static CountedRef<KeyIndex> create(std::size_t n, KeyBuffer keys);

    KeyIndex(HashSeed seed, std::size_t n, std::uint64_t* offsets, ProbeTable slots, KeyBuffer keys) noexcept;
    ~KeyIndex() = default;

    // Enters the (new) key whose record is at `offset` as `position`.
    void place(std::uint64_t offset, std::uint32_t position) noexcept;

    mutable RefCount count_;
    HashSeed seed_;
    std::size_t size_;
    std::uint64_t* offsets_;  // position -> record offset in keys_
    ProbeTable slots_;        // key -> position
    KeyBuffer keys_;
};

struct Storage {
    CountedRef<KeyIndex> keys;
    CountedRef<ValueArray> values;
};

// Turns a filled EntryTable into an index and its values: position i holds the
// i-th entry in the table's order. The table is left empty; its key texts move
// into the index.
Storage build_storage(EntryTable&& table);

// True if a and b give every key the same position.
bool same_layout(const KeyIndex& a, const KeyIndex& b);

}  // namespace quorvex
