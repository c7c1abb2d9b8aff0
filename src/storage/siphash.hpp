// Keyed string hashing for the hash tables: SipHash-1-3.
//
// SipHash with one compression round per word and three finalisation rounds:
// cheap enough for table construction, and keyed so that callers cannot
// choose keys that collide in a table (every table gets its own HashSeed).
//
// The hashed message is the key's bytes followed by one 0xFF byte, so its
// length is key.size() + 1. The marker is folded into the final block rather
// than appended to a copy, so hashing never allocates or copies the key.
// With a zero seed the result equals CPython's hash of `key + b"\xff"` under
// PYTHONHASHSEED=0 (apart from CPython mapping -1 to -2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/byte_order.hpp"

namespace quorvex {

struct HashSeed {
    std::uint64_t k0;
    std::uint64_t k1;
};

std::uint64_t keyed_hash(const HashSeed& seed, std::string_view key) noexcept;

// keyed_hash(seed, keys[i]) into out[i] for each of `count` keys. With
// `vector` (only where the processor has AVX-512) eight keys are hashed at a
// time.
void keyed_hash_many(const HashSeed& seed, const std::string_view* keys, std::size_t count, std::uint64_t* out,
                     bool vector) noexcept;

// SipHash-1-3 of the bytes alone, with no marker: with the interpreter's
// key, what CPython's siphash13 gives for them.
std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes) noexcept;

// siphash13(seed, texts[i]) into out[i]; `vector` as for keyed_hash_many.
void siphash13_many(const HashSeed& seed, const std::string_view* texts, std::size_t count, std::uint64_t* out,
                    bool vector) noexcept;

// The key's last 0 to 7 bytes (those after its whole words), little-endian
// in the low end of a word.
inline std::uint64_t tail_bytes(std::string_view key) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
    const std::size_t len = key.size();
    const std::size_t tail = len & 7;
    if (tail == 0) {
        return 0;
    }
    if (len >= 8) {
        // One overlapping load beats a byte loop; shift out what was hashed.
        return load_le64(bytes + len - 8) >> (64 - 8 * tail);
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < tail; ++i) {
        word |= std::uint64_t{bytes[i]} << (8 * i);
    }
    return word;
}

}  // namespace quorvex
