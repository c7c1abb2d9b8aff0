// The immutable key -> position index of a dictionary.
//
// Layout: one raw block
//     [ KeyIndex header ][ key offset (uint64) × capacity ][ ProbeTable: 64-byte groups of 12 slots ]
// plus a KeyBuffer holding each key once (varint length + bytes), records in
// position order. The probe table maps a key to its position; offsets[p]
// locates the text of the key at position p. Positions are exactly 0..n-1 and
// index the dictionary's ValueArray.
//
// The index is not built on its own: it is the EntryTable that construction
// filled, adopted whole by build_storage (block, slot table, seed and key
// buffer), so a key is hashed once per construction. Entry numbers become
// positions, hence positions follow the order in which keys first arrived and
// a walk (for_each) reads the key buffer front to back.
//
// Space per key (n keys, g groups with 10.5 g >= n > 5.25 g, k key bytes):
//     8 (offset) + 64 g / n (slots) + 1 + k (record)  < 21.2 + k
// and the ValueArray adds 8: under 39.2 bytes for 10-byte keys.
//
// Each index hashes with its own seed, so a key's hash in one index says
// nothing about its slot in another; lookups from another index hash again.
// The index is shared by counted reference and never modified once built.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "storage/bounds.hpp"
#include "storage/counted_ref.hpp"
#include "storage/entry_table.hpp"
#include "storage/key_buffer.hpp"
#include "storage/probe_table.hpp"
#include "storage/siphash.hpp"
#include "storage/value_array.hpp"

namespace quorvex {

class KeyIndex {
public:
    KeyIndex(const KeyIndex&) = delete;
    KeyIndex& operator=(const KeyIndex&) = delete;

    std::size_t size() const noexcept { return size_; }

    std::optional<std::uint64_t> find(std::string_view key) const { return find_hashed(key, keyed_hash(seed_, key)); }

    // Looks up `count` keys, pulled one by one from next_key(), and calls
    // found(i, position) for the i-th of them in the same order, with
    // std::nullopt for a key that is absent.
    //
    // One lookup at a time waits on each cache miss of its probe in turn
    // (slot group, offset, key text). Here the keys go in batches, and each
    // stage of the probe issues its loads for a whole batch, one batch ahead
    // of the next stage: while one batch is hashed, the batch before it
    // reads its slot groups, the one before that its offsets, and the one
    // before that compares its keys, so that each stage finds the lines it
    // reads loaded by the time it gets to them, and no stage waits with
    // nothing else to do. prefetch(p) is called with positions a probe will
    // likely reach, for the caller to load its own data there. With
    // `vector_hash` (only where the processor has AVX-512) the keys are
    // hashed eight at a time, each eight's slot groups asked for as soon as
    // their hashes are known.
    template <class NextKey, class Prefetch, class Found>
    void find_each(std::size_t count, bool vector_hash, NextKey&& next_key, Prefetch&& prefetch, Found&& found) const {
        // Eight keys leave misses unissued; past sixteen the core's queue of
        // outstanding misses is full and larger batches gain nothing.
        constexpr std::size_t batch = 16;
        constexpr std::size_t stages = 4;
        struct Batch {
            std::string_view keys[batch];
            std::uint64_t hashes[batch];
            std::uint64_t guesses[batch];
            std::size_t size;
        };
        Batch batches[stages];  // batch b is batches[b % stages]
        const char* const records = keys_.records().data();
        const std::size_t batch_count = (count + batch - 1) / batch;
        // Step s hashes batch s and takes batches s - 1, s - 2 and s - 3
        // through the later stages.
        for (std::size_t step = 0; step < batch_count + stages - 1; ++step) {
            if (step < batch_count) {
                Batch& hashed = batches[step % stages];
                hashed.size = std::min(count - step * batch, batch);
                hash_batch(hashed.keys, hashed.hashes, hashed.size, vector_hash, next_key);
            }
            if (step >= 1 && step - 1 < batch_count) {
                Batch& probed = batches[(step - 1) % stages];
                for (std::size_t i = 0; i < probed.size; ++i) {
                    probed.guesses[i] = slots_.first_candidate(probed.hashes[i]);
                    if (probed.guesses[i] != ProbeTable::no_candidate) {
                        __builtin_prefetch(offsets_ + probed.guesses[i]);
                        prefetch(probed.guesses[i]);
                    }
                }
            }
            // A record the key matches holds its head (one byte, or two for
            // most non-ASCII keys) and then the key's bytes: the line of its
            // last byte is asked for too, as a record often reaches into the
            // next line.
            if (step >= 2 && step - 2 < batch_count) {
                const Batch& located = batches[(step - 2) % stages];
                for (std::size_t i = 0; i < located.size; ++i) {
                    if (located.guesses[i] != ProbeTable::no_candidate) {
                        const char* const record = records + offsets_[located.guesses[i]];
                        __builtin_prefetch(record);
                        __builtin_prefetch(record + located.keys[i].size() + 1);
                    }
                }
            }
            if (step >= 3) {
                const Batch& compared = batches[(step - 3) % stages];
                const std::size_t base = (step - 3) * batch;
                for (std::size_t i = 0; i < compared.size; ++i) {
                    found(base + i, find_hashed(compared.keys[i], compared.hashes[i]));
                }
            }
        }
    }

    // Reads this index's keys in position order, one per next().
    KeyBuffer::Reader reader() const noexcept { return KeyBuffer::Reader(keys_); }

    // The memory every key text lies in (the records of its KeyBuffer).
    std::string_view records() const noexcept { return keys_.records(); }

    // Calls f(std::string_view key, std::uint64_t position) for positions 0..n-1 in order.
    template <class F>
    void for_each(F&& f) const {
        std::uint64_t position = 0;
        keys_.for_each([&](std::string_view key) { f(key, position++); });
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

    KeyIndex(HashSeed seed, std::size_t n, std::uint64_t* offsets, ProbeTable slots, KeyBuffer keys) noexcept;
    ~KeyIndex() = default;

    // Pulls `size` keys from next_key(), hashes them and asks for their slot
    // groups.
    template <class NextKey>
    void hash_batch(std::string_view* keys, std::uint64_t* hashes, std::size_t size, bool vector_hash,
                    NextKey& next_key) const {
        if (vector_hash) {
            for (std::size_t i = 0; i < size; ++i) {
                keys[i] = next_key();
            }
            for (std::size_t group = 0; group < size; group += 8) {
                const std::size_t in_group = std::min(size - group, std::size_t{8});
                keyed_hash_many(seed_, keys + group, in_group, hashes + group, true);
                for (std::size_t i = group; i < group + in_group; ++i) {
                    slots_.prefetch(hashes[i]);
                }
            }
        } else {
            // Each slot group is asked for as soon as its key is hashed.
            for (std::size_t i = 0; i < size; ++i) {
                keys[i] = next_key();
                hashes[i] = keyed_hash(seed_, keys[i]);
                slots_.prefetch(hashes[i]);
            }
        }
    }

    std::optional<std::uint64_t> find_hashed(std::string_view key, std::uint64_t hash) const {
        const ProbeTable::Probe probe =
            slots_.find(hash, [&](std::uint32_t position) { return keys_.key_at(offsets_[position]) == key; });
        if (!probe.found) {
            return std::nullopt;
        }
        return slots_.value_at(probe.slot);
    }

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

// Turns a filled EntryTable into an index and its values: entry i becomes
// position i. Nothing is rehashed or copied but, when repeated keys left the
// table short of its capacity, the values. The table is left empty.
Storage build_storage(EntryTable&& table);

// True if a and b give every key the same position.
bool same_layout(const KeyIndex& a, const KeyIndex& b);

}  // namespace quorvex
