// The vector form of encode_utf8 (see utf8.hpp), for processors with AVX2.
//
// Eight characters at a time, by what the block holds: all ASCII (narrowed
// to bytes), all below U+0800 (one or two bytes each: every character's form
// is built in a 16-bit lane, then a shuffle chosen by which lanes need two
// bytes closes the gaps), or all from U+0800 to U+FFFF without a surrogate
// (three bytes each, in two shuffles); the last few characters form one more
// block, padded. Other blocks go through the scalar encoder, which also
// reports surrogates.
// The results are the scalar encoder's byte for byte.
#include "storage/utf8.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstring>

namespace quorvex {
namespace {

using ShuffleTable = std::array<std::array<std::uint8_t, 16>, 256>;

// Entry m gathers eight 16-bit lanes into consecutive bytes: the low byte of
// every lane, and the high byte too of lane i when bit i of m is set. Unused
// positions are zeroed (0x80).
constexpr ShuffleTable make_pair_shuffles() {
    ShuffleTable table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned out = 0;
        for (unsigned lane = 0; lane < 8; ++lane) {
            table[mask][out++] = static_cast<std::uint8_t>(2 * lane);
            if ((mask >> lane) & 1) {
                table[mask][out++] = static_cast<std::uint8_t>(2 * lane + 1);
            }
        }
        while (out < 16) {
            table[mask][out++] = 0x80;
        }
    }
    return table;
}

alignas(16) constexpr ShuffleTable pair_shuffles = make_pair_shuffles();

[[gnu::target("avx2")]] inline __m128i lanes_of(std::uint16_t value) {
    return _mm_set1_epi16(static_cast<short>(value));
}

// True when every 16-bit lane of `block` has none of `bits` set.
[[gnu::target("avx2")]] inline bool none_has(__m128i block, std::uint16_t bits) {
    return _mm_testz_si128(block, lanes_of(bits)) != 0;
}

// Eight characters below U+0800: writes 16 bytes at `at`, returns how many
// of them are the characters' UTF-8 form (8 to 16).
[[gnu::target("avx2")]] inline std::size_t encode_below_0800(__m128i block, unsigned char* at) {
    const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(block, lanes_of(0xFF80)), _mm_setzero_si128());
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(block, 6), lanes_of(0xC0));
    const __m128i last = _mm_or_si128(_mm_and_si128(block, lanes_of(0x3F)), lanes_of(0x80));
    const __m128i forms = _mm_blendv_epi8(_mm_or_si128(lead, _mm_slli_epi16(last, 8)), block, ascii);
    const unsigned two_byte = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, ascii))) & 0xFF;
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(pair_shuffles[two_byte].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(forms, shuffle));
    return 8 + static_cast<std::size_t>(std::popcount(two_byte));
}

// Eight characters from U+0800 to U+FFFF, none a surrogate: 24 bytes of
// UTF-8 at `at`; writes 28.
[[gnu::target("avx2")]] inline void encode_three_byte(__m128i block, unsigned char* at) {
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(block, 12), lanes_of(0xE0));
    const __m128i middle = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(block, 6), lanes_of(0x3F)), lanes_of(0x80));
    const __m128i last = _mm_or_si128(_mm_and_si128(block, lanes_of(0x3F)), lanes_of(0x80));
    const __m128i first_two = _mm_or_si128(lead, _mm_slli_epi16(middle, 8));
    // Each character's three bytes in a 32-bit lane, then the fourth dropped.
    const __m128i drop_fourth = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -128, -128, -128, -128);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(_mm_unpacklo_epi16(first_two, last), drop_fourth));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at + 12),
                     _mm_shuffle_epi8(_mm_unpackhi_epi16(first_two, last), drop_fourth));
}

// True when a block of characters below U+10000 holds only U+0800 to U+FFFF
// and no surrogate.
[[gnu::target("avx2")]] inline bool all_three_byte(__m128i block) {
    const __m128i top = _mm_and_si128(block, lanes_of(0xF800));
    const __m128i below_0800 = _mm_cmpeq_epi16(top, _mm_setzero_si128());
    const __m128i surrogate = _mm_cmpeq_epi16(top, lanes_of(0xD800));
    return _mm_testz_si128(_mm_or_si128(below_0800, surrogate), _mm_set1_epi8(-1)) != 0;
}

// The scalar encoder on the characters the vector loop left, added to what
// the loop wrote.
template <class Char>
std::size_t finish(const Char* chars, std::size_t length, char* out, unsigned char* at) {
    const std::size_t rest = encode_utf8(chars, length, reinterpret_cast<char*>(at));
    if (rest == no_utf8) {
        return no_utf8;
    }
    return static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)) + rest;
}

}  // namespace

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint8_t* chars, std::size_t length, char* out) noexcept {
    auto* at = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(chars + i));
        if (_mm_movemask_epi8(bytes) == 0) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at), bytes);
            at += 8;
        } else {
            at += encode_below_0800(_mm_cvtepu8_epi16(bytes), at);
        }
    }
    // The last characters as a block padded with U+0000 (one byte each),
    // taken off the count.
    const std::size_t rest = length - i;
    if (rest == 0) {
        return static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out));
    }
    std::uint8_t padded[8] = {};
    std::memcpy(padded, chars + i, rest);
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(padded));
    return static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)) +
           encode_below_0800(_mm_cvtepu8_epi16(bytes), at) - (8 - rest);
}

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint16_t* chars, std::size_t length, char* out) noexcept {
    auto* at = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
        if (none_has(block, 0xFF80)) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi16(block, block));
            at += 8;
        } else if (none_has(block, 0xF800)) {
            at += encode_below_0800(block, at);
        } else if (all_three_byte(block)) {
            encode_three_byte(block, at);
            at += 24;
        } else {
            const std::size_t size = encode_utf8(chars + i, 8, reinterpret_cast<char*>(at));
            if (size == no_utf8) {
                return no_utf8;
            }
            at += size;
        }
    }
    // The last characters as a block whose missing lanes are padding of the
    // block's own class, then taken off the count: U+0000 (one byte) or
    // U+0800 (three bytes).
    const std::size_t rest = length - i;
    if (rest != 0) {
        std::uint16_t padded[8] = {};
        std::memcpy(padded, chars + i, rest * sizeof(std::uint16_t));
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded));
        if (none_has(block, 0xF800)) {
            return static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)) + encode_below_0800(block, at) -
                   (8 - rest);
        }
        for (std::size_t lane = rest; lane < 8; ++lane) {
            padded[lane] = 0x800;
        }
        block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded));
        if (all_three_byte(block)) {
            encode_three_byte(block, at);
            return static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)) + 3 * rest;
        }
    }
    return finish(chars + i, rest, out, at);
}

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint32_t* chars, std::size_t length, char* out) noexcept {
    auto* at = reinterpret_cast<unsigned char*>(out);
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i + 4));
        const __m128i beyond_ascii = _mm_set1_epi32(~0x7F);
        if (_mm_testz_si128(_mm_or_si128(low, high), beyond_ascii)) {
            const __m128i block = _mm_packus_epi32(low, high);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at), _mm_packus_epi16(block, block));
            at += 8;
        } else {
            const std::size_t size = encode_utf8(chars + i, 8, reinterpret_cast<char*>(at));
            if (size == no_utf8) {
                return no_utf8;
            }
            at += size;
        }
    }
    return finish(chars + i, length - i, out, at);
}

}  // namespace quorvex

#else

namespace quorvex {

std::size_t encode_utf8_vector(const std::uint8_t* chars, std::size_t length, char* out) noexcept {
    return encode_utf8(chars, length, out);
}

std::size_t encode_utf8_vector(const std::uint16_t* chars, std::size_t length, char* out) noexcept {
    return encode_utf8(chars, length, out);
}

std::size_t encode_utf8_vector(const std::uint32_t* chars, std::size_t length, char* out) noexcept {
    return encode_utf8(chars, length, out);
}

}  // namespace quorvex

#endif
