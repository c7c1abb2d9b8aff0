#include "storage/siphash.hpp"

#include <bit>
#include <cstddef>

#include "storage/byte_order.hpp"

namespace quorvex {

namespace {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    explicit SipState(const HashSeed& seed) noexcept
        : v0(seed.k0 ^ 0x736f6d6570736575ULL),
          v1(seed.k1 ^ 0x646f72616e646f6dULL),
          v2(seed.k0 ^ 0x6c7967656e657261ULL),
          v3(seed.k1 ^ 0x7465646279746573ULL) {}

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

    // Absorbs the whole words of `bytes`, those before its last 0 to 7 bytes.
    void absorb_whole_words(std::string_view bytes) noexcept {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        const std::size_t whole = bytes.size() & ~std::size_t{7};
        for (std::size_t i = 0; i < whole; i += 8) {
            absorb(load_le64(data + i));
        }
    }

    std::uint64_t finish() noexcept {
        v2 ^= 0xFF;
        round();
        round();
        round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

}  // namespace

std::uint64_t keyed_hash(const HashSeed& seed, std::string_view key) noexcept {
    SipState s(seed);
    s.absorb_whole_words(key);
    const std::size_t tail = key.size() & 7;
    const std::uint64_t tail_word = tail_bytes(key) | std::uint64_t{0xFF} << (8 * tail);
    // The marker byte may complete a word; the length byte then starts a new one.
    const std::uint64_t length_byte = static_cast<std::uint64_t>(key.size() + 1) << 56;
    if (tail == 7) {
        s.absorb(tail_word);
        s.absorb(length_byte);
    } else {
        s.absorb(tail_word | length_byte);
    }
    return s.finish();
}

std::uint64_t siphash13(const HashSeed& seed, std::string_view bytes) noexcept {
    SipState s(seed);
    s.absorb_whole_words(bytes);
    s.absorb(tail_bytes(bytes) | static_cast<std::uint64_t>(bytes.size()) << 56);
    return s.finish();
}

}  // namespace quorvex
