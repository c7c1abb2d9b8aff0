// Open-addressing slot table shared by EntryTable and KeyIndex.
//
// Layout: caller-provided storage holding
//     [ uint32 slot value × slot_count ][ control byte × slot_count ]
// A control byte is 0x80 for an empty slot or the hash's low 7 bits (a tag)
// for a full one. The slot value is whatever the owning table indexes by
// (an entry number or a key position); the table never interprets it.
//
// Probing works on aligned groups of eight control bytes read as one 64-bit
// word (SwissTable-like, portable SWAR): the bits of the hash above the tag
// pick the first group, later groups follow the triangular sequence
// g, g+1, g+3, g+6, ... which visits every group because the group count is a
// power of two. Within a group, tag matches are tried in slot order; a group
// with an empty slot ends the search, and that empty slot is where the key
// belongs. Nothing is ever removed, so no tombstones are needed.
//
// Invariants: slot_count is a power of two >= 8, at most 7/8 of the slots are
// full (there is always an empty slot, so probes terminate and stay short),
// and a table holds fewer than 2^32 - 1 entries so values fit in uint32.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/byte_order.hpp"

namespace quorvex {

class ProbeTable {
public:
    static constexpr std::size_t max_entries = 0xFFFF'FFFE;

    // Smallest slot count that keeps `entries` within the 7/8 load limit.
    static constexpr std::size_t slot_count_for(std::size_t entries) noexcept {
        std::size_t slots = group_width;
        while (slots / 8 * 7 < entries) {
            slots *= 2;
        }
        return slots;
    }

    // Storage needed for `slot_count` slots (4-byte alignment required).
    static constexpr std::size_t bytes_for(std::size_t slot_count) noexcept {
        return slot_count * (sizeof(std::uint32_t) + 1);
    }

    struct Probe {
        std::size_t slot;  // the matching slot, or the empty slot the key belongs in
        bool found;
    };

    // An empty table with no slots; only for_each and slot_count may be used.
    ProbeTable() noexcept = default;

    // Lays out an all-empty table in `storage` (bytes_for(slot_count) bytes).
    ProbeTable(void* storage, std::size_t slot_count) noexcept
        : slots_(static_cast<std::uint32_t*>(storage)),
          control_(reinterpret_cast<std::uint8_t*>(slots_ + slot_count)),
          slot_count_(slot_count) {
        std::memset(control_, empty, slot_count);
    }

    std::size_t slot_count() const noexcept { return slot_count_; }

    std::uint32_t value_at(std::size_t slot) const noexcept { return slots_[slot]; }

    // Looks for a full slot whose value satisfies `matches(value)`, trying only
    // slots whose tag equals the hash's.
    template <class Matches>
    Probe find(std::uint64_t hash, Matches&& matches) const {
        const std::uint64_t tag_bytes = low_bits * (hash & tag_mask);
        const std::size_t group_mask = slot_count_ / group_width - 1;
        std::size_t group = static_cast<std::size_t>(hash >> 7) & group_mask;
        for (std::size_t step = 1;; ++step) {
            const std::size_t base = group * group_width;
            const std::uint64_t control = load_le64(control_ + base);
            // Bytes equal to the tag become zero; the classic zero-byte test can
            // also flag a full byte right after a true match, which the key
            // comparison in `matches` rejects.
            const std::uint64_t diff = control ^ tag_bytes;
            for (std::uint64_t hits = (diff - low_bits) & ~diff & high_bits; hits != 0; hits &= hits - 1) {
                const std::size_t slot = base + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
                if (matches(slots_[slot])) {
                    return {slot, true};
                }
            }
            if (const std::uint64_t empties = control & high_bits) {
                return {base + static_cast<std::size_t>(std::countr_zero(empties)) / 8, false};
            }
            group = (group + step) & group_mask;
        }
    }

    // The empty slot a key known to be absent belongs in.
    std::size_t find_empty(std::uint64_t hash) const noexcept {
        const std::size_t group_mask = slot_count_ / group_width - 1;
        std::size_t group = static_cast<std::size_t>(hash >> 7) & group_mask;
        for (std::size_t step = 1;; ++step) {
            const std::size_t base = group * group_width;
            if (const std::uint64_t empties = load_le64(control_ + base) & high_bits) {
                return base + static_cast<std::size_t>(std::countr_zero(empties)) / 8;
            }
            group = (group + step) & group_mask;
        }
    }

    // Fills an empty slot returned by find/find_empty for the same hash.
    void occupy(std::size_t slot, std::uint64_t hash, std::uint32_t value) noexcept {
        slots_[slot] = value;
        control_[slot] = static_cast<std::uint8_t>(hash & tag_mask);
    }

    // Calls f(value) for each full slot, in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t slot = 0; slot < slot_count_; ++slot) {
            if (control_[slot] != empty) {
                f(slots_[slot]);
            }
        }
    }

    // Like for_each, but stops at (and returns false on) the first f that is false.
    template <class F>
    bool all_of(F&& f) const {
        for (std::size_t slot = 0; slot < slot_count_; ++slot) {
            if (control_[slot] != empty && !f(slots_[slot])) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr std::size_t group_width = 8;
    static constexpr std::uint8_t empty = 0x80;
    static constexpr std::uint64_t tag_mask = 0x7F;
    static constexpr std::uint64_t low_bits = 0x0101'0101'0101'0101ULL;
    static constexpr std::uint64_t high_bits = 0x8080'8080'8080'8080ULL;

    std::uint32_t* slots_ = nullptr;
    std::uint8_t* control_ = nullptr;
    std::size_t slot_count_ = 0;
};

}  // namespace quorvex
