// The vector forms of encode_utf8 and decode_utf8 (see utf8.hpp), for
// processors with AVX2. Results are the scalar routines' byte for byte.
//
// Encoding takes eight characters at a time, by what the block holds: all
// ASCII (narrowed to bytes), all below U+0800 (one or two bytes each: every
// character's form is built in a 16-bit lane, then a shuffle chosen by which
// lanes need two bytes closes the gaps), or all from U+0800 to U+FFFF without
// a surrogate (three bytes each, in two shuffles); the last few characters
// form one more block, padded. Other blocks go through the scalar encoder,
// which also reports surrogates.
//
// Decoding takes sixteen bytes at a time. Up to the first byte that starts a
// three- or four-byte sequence (at most eight bytes on), every character has
// one or two bytes: a shuffle chosen by which bytes are continuations puts
// each character's bytes in a 16-bit lane, and a few lane operations give the
// code points. Four three-byte sequences in a row are decoded by one fixed
// shuffle. Anything else is decoded one character at a time. A block may
// reach past the text's end (into a zeroed copy near the end of readable
// memory): those bytes are taken as one-byte characters after the text's own,
// and not kept.
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
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_shuffle_epi8(_mm_unpacklo_epi16(first_two, last), drop_fourth));
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

// Eight characters through the scalar encoder, moving `at` past them; false
// when one is a surrogate.
template <class Char>
bool encode_block_scalar(const Char* chars, unsigned char*& at) {
    const std::size_t size = encode_utf8(chars, 8, reinterpret_cast<char*>(at));
    if (size == no_utf8) {
        return false;
    }
    at += size;
    return true;
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

// Decoding.

struct PairGather {
    std::array<std::uint8_t, 16> shuffle;  // read unaligned: entries are 18 bytes apart
    std::uint8_t chars;                    // characters that start in bytes 0 to 7
    std::uint8_t consumed;                 // bytes they take: 8, or 9 when byte 8 ends one
};

using PairGatherTable = std::array<PairGather, 256>;

// Entry m is for a block whose byte i + 1 is a continuation byte when bit i
// of m is set (byte 0 starts a character), and no byte of 0 to 7 starts a
// three- or four-byte sequence. Lane j of the shuffle gets the j-th
// character's lead byte low and its continuation byte, if any, high.
constexpr PairGatherTable make_pair_gathers() {
    PairGatherTable table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        PairGather& entry = table[mask];
        unsigned lane = 0;
        for (unsigned byte = 0; byte < 8; ++byte) {
            if (byte > 0 && ((mask >> (byte - 1)) & 1)) {
                continue;
            }
            const bool two_bytes = (mask >> byte) & 1;
            entry.shuffle[2 * lane] = static_cast<std::uint8_t>(byte);
            entry.shuffle[2 * lane + 1] = two_bytes ? static_cast<std::uint8_t>(byte + 1) : 0x80;
            ++lane;
        }
        entry.chars = static_cast<std::uint8_t>(lane);
        entry.consumed = static_cast<std::uint8_t>(8 + ((mask >> 7) & 1));
        for (; lane < 8; ++lane) {
            entry.shuffle[2 * lane] = 0x80;
            entry.shuffle[2 * lane + 1] = 0x80;
        }
    }
    return table;
}

alignas(16) constexpr PairGatherTable pair_gathers = make_pair_gathers();

[[gnu::target("avx2")]] inline __m128i bytes_of(std::uint8_t value) {
    return _mm_set1_epi8(static_cast<char>(value));
}

// Bit i set when byte i of `block` has all of `bits` set among `mask`'s bits.
[[gnu::target("avx2")]] inline unsigned bytes_matching(__m128i block, std::uint8_t mask, std::uint8_t bits) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(block, bytes_of(mask)), bytes_of(bits))));
}

// Eight 16-bit lanes, each a lead byte low and its continuation byte or zero
// high, as code points.
[[gnu::target("avx2")]] inline __m128i pair_code_points(__m128i lanes) {
    const __m128i lead = _mm_and_si128(lanes, lanes_of(0x00FF));
    const __m128i continuation = _mm_srli_epi16(lanes, 8);
    const __m128i two_byte = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead, lanes_of(0x1F)), 6),
                                          _mm_and_si128(continuation, lanes_of(0x3F)));
    return _mm_blendv_epi8(two_byte, lead, _mm_cmpeq_epi16(continuation, _mm_setzero_si128()));
}

// Stores the first `count` of eight code points (16-bit lanes) at `out`;
// all eight when `room` allows, since the caller's later stores overwrite
// the extra ones.
template <class Char>
[[gnu::target("avx2")]] inline void store_code_points(__m128i points, Char* out, std::size_t count, bool room) {
    alignas(32) Char spill[8];
    Char* target = room ? out : spill;
    if constexpr (sizeof(Char) == 1) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target), _mm_packus_epi16(points, points));
    } else if constexpr (sizeof(Char) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target), points);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target), _mm_cvtepu16_epi32(points));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 4), _mm_cvtepu16_epi32(_mm_srli_si128(points, 8)));
    }
    if (!room) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = spill[i];
        }
    }
}

// Four three-byte sequences in the first twelve bytes, as four code points
// stored at `out` (which has room for them).
template <class Char>
[[gnu::target("avx2")]] inline void decode_three_byte(__m128i block, Char* out) {
    const __m128i spread =
        _mm_shuffle_epi8(block, _mm_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128));
    const __m128i low_six = _mm_set1_epi32(0x3F);
    const __m128i points =
        _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(spread, _mm_set1_epi32(0x0F)), 12),
                                  _mm_slli_epi32(_mm_and_si128(_mm_srli_epi32(spread, 8), low_six), 6)),
                     _mm_and_si128(_mm_srli_epi32(spread, 16), low_six));
    if constexpr (sizeof(Char) == 2) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(points, points));
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), points);
    }
}

// Sixteen bytes from `at`, of which the first `bytes_left` are the text's; the
// rest are zero, or whatever follows the text where it is readable.
[[gnu::target("avx2")]] inline __m128i load_block(const unsigned char* at, std::size_t bytes_left,
                                                  const unsigned char* readable_end) {
    if (readable_end - at >= 16) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    alignas(16) unsigned char padded[16] = {};
    std::memcpy(padded, at, bytes_left);
    return _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
}

// Bits 0 to bytes_left - 1 (all sixteen when bytes_left >= 16): the bytes of
// a block that belong to the text.
inline unsigned text_bytes(std::size_t bytes_left) {
    return bytes_left >= 16 ? 0xFFFF : (1u << bytes_left) - 1;
}

template <class Char>
[[gnu::target("avx2")]] void decode_vector(std::string_view text, std::size_t length, Char* out,
                                           const unsigned char* readable_end) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t bytes_left = text.size();
    std::size_t chars_left = length;
    while (chars_left != 0) {
        const __m128i block = load_block(at, bytes_left, readable_end);
        // Bytes past the text count as one-byte characters, which come after
        // the text's own and are not kept.
        const unsigned own = text_bytes(bytes_left);
        const unsigned continuations = bytes_matching(block, 0xC0, 0x80) & own;
        const unsigned long_leads = bytes_matching(block, 0xE0, 0xE0) & own & 0xFF;
        const std::size_t first_long = long_leads == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(long_leads));
        if (first_long != 0) {
            const PairGather& gather = pair_gathers[(continuations >> 1) & 0xFF];
            std::size_t chars = gather.chars;
            std::size_t consumed = gather.consumed;
            if (first_long < 8) {
                // Only the characters before the long sequence.
                chars = first_long - static_cast<std::size_t>(std::popcount(continuations & ((1u << first_long) - 1)));
                consumed = first_long;
            }
            chars = chars < chars_left ? chars : chars_left;
            const __m128i lanes =
                _mm_shuffle_epi8(block, _mm_loadu_si128(reinterpret_cast<const __m128i*>(gather.shuffle.data())));
            store_code_points(pair_code_points(lanes), out, chars, chars_left >= 8);
            out += chars;
            chars_left -= chars;
            at += consumed;
            bytes_left -= consumed < bytes_left ? consumed : bytes_left;
            continue;
        }
        if constexpr (sizeof(Char) > 1) {
            if ((continuations & 0x1FFF) == 0xDB6) {
                // Bytes 1, 2, 4, 5, 7, 8, 10 and 11 continue and byte 12 does not:
                // four three-byte sequences.
                decode_three_byte(block, out);
                out += 4;
                chars_left -= 4;
                at += 12;
                bytes_left -= 12;
                continue;
            }
        }
        // A run of three- and four-byte sequences, one at a time.
        const unsigned char* const start = at;
        do {
            *out++ = static_cast<Char>(decode_one(at));
            --chars_left;
        } while (chars_left != 0 && *at >= 0xE0);
        bytes_left -= static_cast<std::size_t>(at - start);
    }
}

}  // namespace

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint8_t* chars, std::size_t length,
                                                       char* out) noexcept {
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

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint16_t* chars, std::size_t length,
                                                       char* out) noexcept {
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
        } else if (!encode_block_scalar(chars + i, at)) {
            return no_utf8;
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

[[gnu::target("avx2")]] std::size_t encode_utf8_vector(const std::uint32_t* chars, std::size_t length,
                                                       char* out) noexcept {
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
        } else if (!encode_block_scalar(chars + i, at)) {
            return no_utf8;
        }
    }
    return finish(chars + i, length - i, out, at);
}

[[gnu::target("avx2")]] void decode_utf8_vector(std::string_view text, std::size_t length, std::uint8_t* out,
                                                const char* readable_end) noexcept {
    decode_vector(text, length, out, reinterpret_cast<const unsigned char*>(readable_end));
}

[[gnu::target("avx2")]] void decode_utf8_vector(std::string_view text, std::size_t length, std::uint16_t* out,
                                                const char* readable_end) noexcept {
    decode_vector(text, length, out, reinterpret_cast<const unsigned char*>(readable_end));
}

[[gnu::target("avx2")]] void decode_utf8_vector(std::string_view text, std::size_t length, std::uint32_t* out,
                                                const char* readable_end) noexcept {
    decode_vector(text, length, out, reinterpret_cast<const unsigned char*>(readable_end));
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

void decode_utf8_vector(std::string_view text, std::size_t, std::uint8_t* out, const char*) noexcept {
    decode_utf8(text, out);
}

void decode_utf8_vector(std::string_view text, std::size_t, std::uint16_t* out, const char*) noexcept {
    decode_utf8(text, out);
}

void decode_utf8_vector(std::string_view text, std::size_t, std::uint32_t* out, const char*) noexcept {
    decode_utf8(text, out);
}

}  // namespace quorvex

#endif
