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

#include <cstdint>
#include <string_view>

namespace quorvex {

struct HashSeed {
    std::uint64_t k0;
    std::uint64_t k1;
};

std::uint64_t keyed_hash(const HashSeed& seed, std::string_view key) noexcept;

}  // namespace quorvex
