// The transient key -> value table a dictionary is built in.
//
// Layout: one raw block, sized once for `capacity` distinct keys,
//     [ key offset (uint64) × capacity ][ value (double) × capacity ][ ProbeTable ]
// plus a KeyBuffer holding the key texts. Entries are numbered in the order
// their key first arrived; the probe table maps a key to its entry number.
// Only the key buffer grows (the total key length is unknown up front);
// everything else is allocated in the constructor, so filling the table never
// rehashes.
//
// A key is its exact bytes: the empty key and keys with NUL bytes are ordinary.
// Inserting a key again replaces the value and keeps the first stored text.
// The table order (for_each) is the slot order of the probe table, which
// depends on this table's own seed, not on insertion order.
//
// build_storage consumes a filled table, moving its key buffer into a KeyIndex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lib/key_buffer.hpp"
#include "lib/probe_table.hpp"
#include "lib/raw_memory.hpp"
#include "lib/siphash.hpp"

namespace quorvex {

struct Storage;

class EntryTable {
public:
    // Takes a fresh seed; panics if capacity >= 2^32 - 1.
    explicit EntryTable(std::size_t capacity);

    EntryTable(EntryTable&& other) noexcept;
    EntryTable& operator=(EntryTable&& other) noexcept;
    EntryTable(const EntryTable&) = delete;
    EntryTable& operator=(const EntryTable&) = delete;
    ~EntryTable() = default;

    // Adds or replaces key's value; panics with "entry table is full" when a
    // new key arrives and `capacity` distinct keys are already present.
    // `key` must not point into this table.
    void insert(std::string_view key, double value);

    std::size_t size() const noexcept { return size_; }

    // Calls f(std::string_view key, double value) for each entry in table order.
    template <class F>
    void for_each(F&& f) const {
        slots_.for_each([&](std::uint32_t entry) { f(keys_.key_at(offsets_[entry]), values_[entry]); });
    }

private:
    friend Storage build_storage(EntryTable&& table);

    HashSeed seed_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    RawArray<unsigned char> block_;
    std::uint64_t* offsets_;  // entry -> record offset in keys_
    double* values_;          // entry -> value
    ProbeTable slots_;        // key -> entry
    KeyBuffer keys_;
};

}  // namespace quorvex
