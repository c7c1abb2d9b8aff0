// The key -> value table a dictionary is built in, laid out as the KeyIndex
// and ValueArray it becomes.
//
// Layout, compact like CPython's own dict: entries are dense and numbered in
// the order their key first arrived, and a separate slot table maps a key to
// its entry number.
//     index block  [ room for the KeyIndex header ][ key offset (uint64) × capacity ][ ProbeTable ]
//     key texts    KeyBuffer, one record per entry, in entry order
//     values       a ValueArray of `capacity` doubles, value of entry i at i
// Everything but the key buffer is allocated in the constructor at its final
// size (the total key length is unknown up front), so filling never rehashes.
//
// build_storage turns a filled table into (KeyIndex, ValueArray) without
// touching a key: the index block, the slot table with its seed, the offsets
// and the key buffer are adopted as they are, and entry numbers become
// positions. That is why the walk order (for_each) is entry order.
//
// A key is its exact bytes: the empty key and keys with NUL bytes are ordinary.
// Inserting a key again replaces the value in place and keeps the first text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/counted_ref.hpp"
#include "storage/key_buffer.hpp"
#include "storage/probe_table.hpp"
#include "storage/raw_memory.hpp"
#include "storage/siphash.hpp"
#include "storage/value_array.hpp"

namespace quorvex {

struct Storage;

class EntryTable {
public:
    // Takes a fresh seed; faults if capacity >= 2^32 - 1.
    explicit EntryTable(std::size_t capacity);

    EntryTable(EntryTable&& other) noexcept;
    EntryTable& operator=(EntryTable&& other) noexcept;
    EntryTable(const EntryTable&) = delete;
    EntryTable& operator=(const EntryTable&) = delete;
    ~EntryTable() = default;

    // The hash of `key` under this table's seed.
    std::uint64_t hash(std::string_view key) const noexcept { return keyed_hash(seed_, key); }

    // hash(keys[i]) into out[i] for each of `count` keys (see keyed_hash_many).
    void hash_many(const std::string_view* keys, std::size_t count, std::uint64_t* out, bool vector) const noexcept {
        keyed_hash_many(seed_, keys, count, out, vector);
    }

    // Starts loading the slots a later insert of a key with this hash probes.
    void prefetch(std::uint64_t hash) const noexcept { slots_.prefetch(hash); }

    // Adds or replaces key's value; faults with "entry table is full" when a
    // new key arrives and `capacity` distinct keys are already present.
    // `key` must not point into this table.
    void insert(std::string_view key, double value);

    // Like insert, with `hash` == this->hash(key) and `shape` ==
    // utf8_shape(key) already computed, but a new key that finds the table
    // full is not stored and the result is false.
    [[nodiscard]] bool insert_hashed(std::string_view key, std::uint64_t hash, DecodedShape shape, double value);

    // Like insert_hashed for a key the caller knows is not in the table. No
    // stored key is compared, and the key's slot is only chosen later, in one
    // pass over the hashes of every key added this way (before the next
    // insert_hashed, or when the table becomes storage): a walk that reads
    // scattered objects for its keys then does not also wait on the slots'
    // scattered lines. A key inserted twice this way would be stored twice.
    [[nodiscard]] bool insert_absent(std::string_view key, std::uint64_t hash, DecodedShape shape, double value);

    std::size_t size() const noexcept { return size_; }

    // Calls f(std::string_view key, double value) for each entry in entry order.
    template <class F>
    void for_each(F&& f) const {
        if (size_ == 0) {
            return;
        }
        const double* values = values_->data();
        std::size_t entry = 0;
        keys_.for_each([&](std::string_view key) { f(key, values[entry++]); });
    }

private:
    friend Storage build_storage(EntryTable&& table);

    // Stores a new entry in the empty `slot` a probe for `hash` found.
    bool add(std::string_view key, std::uint64_t hash, DecodedShape shape, double value, std::size_t slot);

    // Gives the entries insert_absent left without a slot their slots.
    void place_pending() noexcept;

    // Asks for the lines the next entries' offsets and values go to.
    void prefetch_for_writing() const noexcept;

    HashSeed seed_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    RawArray<unsigned char> block_;  // the KeyIndex-to-be
    std::uint64_t* offsets_;         // entry -> record offset in keys_
    ProbeTable slots_;               // key -> entry
    KeyBuffer keys_;
    CountedRef<ValueArray> values_;           // entry -> value
    std::size_t placed_ = 0;                  // entries below this have their slots
    RawArray<std::uint64_t> pending_hashes_;  // entry -> hash, for entries from placed_ on
};

}  // namespace quorvex
