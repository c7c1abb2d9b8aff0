// Little-endian word loads and stores.
//
// SipHash defines its message words as little-endian, and the probe tables
// read eight control bytes at once and locate a byte by its bit index, which
// also needs byte 0 in the low bits. memcpy keeps the loads legal at any
// alignment; on little-endian targets the whole function is one mov.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quorvex {

inline std::uint64_t load_le64(const void* at) noexcept {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

inline void store_le32(void* at, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap32(word);
    }
    std::memcpy(at, &word, sizeof word);
}

}  // namespace quorvex
