// Open-addressing slot table shared by EntryTable and KeyIndex.
//
// Layout: caller-provided storage holding 64-byte groups, aligned to 64 bytes
// (bytes_for leaves room for the alignment):
//     group: [ control byte × 12 ][ pad × 4 ][ uint32 slot value × 12 ]
// A control byte is 0x80 for an empty slot or a tag, taken from the hash's low
// byte, for a full one; pad bytes are 0xFF. Tags never take the values 0x80
// and 0xFF, so a tag byte matches neither an empty slot nor the pad. With
// eight bits, about one probe in 256 per full slot compares a key in vain
// (seven bits would double that, and each such comparison is a cache miss). The slot value is
// whatever the owning table indexes by (an entry number, which is also a key
// position); the table never interprets it.
//
// A group is one cache line, so a probe that ends in its first group costs
// one miss for control bytes and values together; with separate arrays it
// would cost two. Twelve slots rather than sixteen keep the space per slot at
// 5 1/3 bytes, about what separate arrays of bytes and uint32s take.
//
// Probing compares a group's 16 control bytes with the tag at once (SSE2, or
// two 64-bit words elsewhere): the bits of the hash above the tag byte pick
// the first group, later groups follow the triangular sequence g, g+1, g+3,
// g+6, ... which visits every group because the group count is a power of
// two. Within a group, tag matches are tried in slot order; a group with an
// empty slot ends the search, and that empty slot is where the key belongs.
// Nothing is ever removed, so no tombstones are needed.
//
// Invariants: the group count is a power of two, at most 7/8 of the slots
// are full (there is always an empty slot, so probes terminate and stay
// short), and a table holds fewer than 2^32 - 1 entries so values fit in uint32.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "storage/byte_order.hpp"

namespace quorvex {

class ProbeTable {
public:
    static constexpr std::size_t max_entries = 0xFFFF'FFFE;

    // Smallest group count that keeps `entries` within the 7/8 load limit.
    static constexpr std::size_t group_count_for(std::size_t entries) noexcept {
        std::size_t groups = 1;
        while (groups * slots_per_group / 8 * 7 < entries) {
            groups *= 2;
        }
        return groups;
    }

    // Storage needed for `group_count` groups, alignment slack included.
    static constexpr std::size_t bytes_for(std::size_t group_count) noexcept {
        return group_count * group_bytes + (group_bytes - 1);
    }

    // A slot: group number × 16 + index within the group. Both members are
    // a word wide: a bool beside the slot would leave padding, which g++ 16
    // zeroes through the stack wherever a Probe is built, and the load that
    // reads it back cannot be forwarded from those stores.
    struct Probe {
        std::size_t slot;   // the matching slot, or the empty slot the key belongs in
        std::size_t found;  // 1 if the slot holds the key, else 0
    };
    static_assert(std::has_unique_object_representations_v<Probe>, "no padding, as said above");

    // A placeholder with no groups (a moved-from owner's); nothing may be used.
    ProbeTable() noexcept = default;

    // Lays out an all-empty table in `storage` (bytes_for(group_count) bytes).
    ProbeTable(void* storage, std::size_t group_count) noexcept : group_mask_(group_count - 1) {
        const auto address = reinterpret_cast<std::uintptr_t>(storage);
        groups_ = static_cast<unsigned char*>(storage) + ((group_bytes - address % group_bytes) % group_bytes);
        for (std::size_t group = 0; group < group_count; ++group) {
            unsigned char* control = groups_ + group * group_bytes;
            std::memset(control, empty, slots_per_group);
            std::memset(control + slots_per_group, pad, control_bytes - slots_per_group);
        }
    }

    std::uint32_t value_at(std::size_t slot) const noexcept {
        std::uint32_t value;
        std::memcpy(&value, value_address(slot), sizeof value);
        return value;
    }

    // Looks for a full slot whose value satisfies `matches(value)`, trying only
    // slots whose tag equals the hash's.
    template <class Matches>
    Probe find(std::uint64_t hash, Matches&& matches) const {
        std::size_t group = first_group(hash);
        for (std::size_t step = 1;; ++step) {
            const unsigned char* control = groups_ + group * group_bytes;
            for (unsigned hits = tag_matches(control, hash); hits != 0; hits &= hits - 1) {
                const std::size_t slot = group * control_bytes + static_cast<std::size_t>(std::countr_zero(hits));
                if (matches(value_at(slot))) {
                    return {slot, true};
                }
            }
            if (const unsigned empties = empty_slots(control)) {
                return {group * control_bytes + static_cast<std::size_t>(std::countr_zero(empties)), false};
            }
            group = (group + step) & group_mask_;
        }
    }

    // The empty slot a key with this hash belongs in when no full slot can
    // hold it: find's answer for a key known to be absent, without trying
    // the tag matches.
    std::size_t find_empty(std::uint64_t hash) const noexcept {
        std::size_t group = first_group(hash);
        for (std::size_t step = 1;; ++step) {
            if (const unsigned empties = empty_slots(groups_ + group * group_bytes)) {
                return group * control_bytes + static_cast<std::size_t>(std::countr_zero(empties));
            }
            group = (group + step) & group_mask_;
        }
    }

    // Starts loading the one line a probe for `hash` usually reads, so that
    // a run of lookups can overlap their cache misses.
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(groups_ + first_group(hash) * group_bytes); }

    // The value of the first tag match in the first group, or `no_candidate`:
    // a guess at the entry a probe will compare against, for prefetching only.
    static constexpr std::uint64_t no_candidate = ~std::uint64_t{0};
    std::uint64_t first_candidate(std::uint64_t hash) const noexcept {
        const std::size_t group = first_group(hash);
        const unsigned hits = tag_matches(groups_ + group * group_bytes, hash);
        if (hits == 0) {
            return no_candidate;
        }
        return value_at(group * control_bytes + static_cast<std::size_t>(std::countr_zero(hits)));
    }

    // Fills an empty slot returned by find for the same hash.
    void occupy(std::size_t slot, std::uint64_t hash, std::uint32_t value) noexcept {
        groups_[slot / control_bytes * group_bytes + slot % control_bytes] = tag_of(hash);
        std::memcpy(const_cast<unsigned char*>(value_address(slot)), &value, sizeof value);
    }

private:
    static constexpr std::size_t group_bytes = 64;
    static constexpr std::size_t slots_per_group = 12;
    static constexpr std::size_t control_bytes = 16;  // 12 control bytes and the pad
    static constexpr unsigned valid_slots = (1u << slots_per_group) - 1;
    static constexpr unsigned char empty = 0x80;
    static constexpr unsigned char pad = 0xFF;

    static unsigned char tag_of(std::uint64_t hash) noexcept {
        const auto tag = static_cast<unsigned char>(hash);
        return tag == empty || tag == pad ? static_cast<unsigned char>(tag ^ 1) : tag;
    }

    std::size_t first_group(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash >> 8) & group_mask_;
    }

    const unsigned char* value_address(std::size_t slot) const noexcept {
        return groups_ + slot / control_bytes * group_bytes + control_bytes +
               slot % control_bytes * sizeof(std::uint32_t);
    }

    // Bit i set when control byte i equals the hash's tag.
    static unsigned tag_matches(const unsigned char* control, std::uint64_t hash) noexcept {
        return bytes_equal_to(control, tag_of(hash));
    }

    // Bit i set when slot i is empty.
    static unsigned empty_slots(const unsigned char* control) noexcept { return bytes_equal_to(control, empty); }

#if defined(__SSE2__)
    // Bit i set when control byte i equals `value`.
    static unsigned bytes_equal_to(const unsigned char* control, unsigned char value) noexcept {
        const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(control));
        // The byte is replicated in a general register and moved over whole:
        // for _mm_set1_epi8 GCC may store the byte to the stack and load it
        // back four bytes wide, a load that waits for the store to retire.
        const __m128i wanted = _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(0x0101'0101U * value)), 0);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted))) & valid_slots;
    }
#else
    static constexpr std::uint64_t low_bits = 0x0101'0101'0101'0101ULL;
    static constexpr std::uint64_t seven_bits = 0x7F7F'7F7F'7F7F'7F7FULL;

    // The high bit of each zero byte of `word`, exactly (no borrow between
    // bytes, unlike the shorter (x - 0x01..) & ~x test).
    static std::uint64_t zero_bytes(std::uint64_t word) noexcept {
        return ~(((word & seven_bits) + seven_bits) | word | seven_bits);
    }

    // The high bit of each byte of `word` into bit (byte index).
    static unsigned gather_high_bits(std::uint64_t word) noexcept {
        return static_cast<unsigned>(((word >> 7) & low_bits) * 0x0102'0408'1020'4080ULL >> 56);
    }

    static unsigned bytes_equal_to(const unsigned char* control, unsigned char value) noexcept {
        const std::uint64_t pattern = low_bits * value;
        const unsigned bits = gather_high_bits(zero_bytes(load_le64(control) ^ pattern)) |
                              gather_high_bits(zero_bytes(load_le64(control + 8) ^ pattern)) << 8;
        return bits & valid_slots;
    }
#endif

    unsigned char* groups_ = nullptr;
    std::size_t group_mask_ = 0;
};

}  // namespace quorvex
