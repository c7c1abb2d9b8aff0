#include "storage/siphash.hpp"

#include <bit>
#include <cstddef>

#include "storage/byte_order.hpp"

namespace quorvex {

namespace {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void absorb(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

}  // namespace

std::uint64_t keyed_hash(const HashSeed& seed, std::string_view key) noexcept {
    SipState s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL, seed.k0 ^ 0x6c7967656e657261ULL,
               seed.k1 ^ 0x7465646279746573ULL};

    const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
    const std::size_t whole = key.size() & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        s.absorb(load_le64(bytes + i));
    }
    const std::size_t tail = key.size() - whole;
    const std::uint64_t tail_word = tail_bytes(key) | std::uint64_t{0xFF} << (8 * tail);
    // The marker byte may complete a word; the length byte then starts a new one.
    const std::uint64_t length_byte = static_cast<std::uint64_t>(key.size() + 1) << 56;
    if (tail == 7) {
        s.absorb(tail_word);
        s.absorb(length_byte);
    } else {
        s.absorb(tail_word | length_byte);
    }

    s.v2 ^= 0xFF;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace quorvex
