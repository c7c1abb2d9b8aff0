// The vector forms of encode_utf8 and decode_utf8 (see utf8.hpp), for
// processors with AVX2. Results are the scalar routines' byte for byte.
//
// Encoding takes eight characters at a time, each widened to a 32-bit lane,
// and handles every block alike, whatever it holds: keys mix one-, two-,
// three- and four-byte characters at random, so a path chosen by content
// would be mispredicted often. Every lane builds each form its character
// could take, keeps the one its code point needs, and a shuffle chosen by the
// four lanes' lengths packs each half of the block. The blocks end where the
// text ends, so the first one may start before it (see utf8.hpp).
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

// Entry m packs four 32-bit lanes, each holding a character's UTF-8 form
// from its low byte up, into consecutive bytes: lane i keeps 1 + (bits 2i and
// 2i + 1 of m) bytes. Unused positions are zeroed (0x80).
struct LanePack {
    std::array<std::uint8_t, 16> shuffle;
};

constexpr std::array<LanePack, 256> make_lane_packs() {
    std::array<LanePack, 256> table{};
    for (unsigned lengths = 0; lengths < 256; ++lengths) {
        unsigned out = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned bytes = 1 + ((lengths >> (2 * lane)) & 3);
            for (unsigned byte = 0; byte < bytes; ++byte) {
                table[lengths].shuffle[out++] = static_cast<std::uint8_t>(4 * lane + byte);
            }
        }
        while (out < 16) {
            table[lengths].shuffle[out++] = 0x80;
        }
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> make_lane_pack_sizes() {
    std::array<std::uint8_t, 256> sizes{};
    for (unsigned lengths = 0; lengths < 256; ++lengths) {
        unsigned total = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            total += 1 + ((lengths >> (2 * lane)) & 3);
        }
        sizes[lengths] = static_cast<std::uint8_t>(total);
    }
    return sizes;
}

alignas(64) constexpr std::array<LanePack, 256> lane_packs = make_lane_packs();
alignas(64) constexpr std::array<std::uint8_t, 256> lane_pack_sizes = make_lane_pack_sizes();

// Bit i of a four-bit mask moved to bit 2i: adding three of these, one for
// each length threshold a lane passes, gives the lanes' 2-bit fields.
constexpr std::array<std::uint8_t, 16> make_spread() {
    std::array<std::uint8_t, 16> spread{};
    for (unsigned bits = 0; bits < 16; ++bits) {
        for (unsigned lane = 0; lane < 4; ++lane) {
            spread[bits] = static_cast<std::uint8_t>(spread[bits] | (((bits >> lane) & 1) << (2 * lane)));
        }
    }
    return spread;
}

constexpr std::array<std::uint8_t, 16> spread = make_spread();

// Eight characters from `at`, each widened to a 32-bit lane.
template <class Char>
[[gnu::target("avx2")]] inline __m256i load_eight(const Char* at) {
    if constexpr (sizeof(Char) == 1) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
    } else if constexpr (sizeof(Char) == 2) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
    } else {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
}

// `value` in every 32-bit lane.
[[gnu::target("avx2")]] inline __m256i lanes32(std::uint32_t value) {
    return _mm256_set1_epi32(static_cast<int>(value));
}

// Bit i set when 32-bit lane i is all ones.
[[gnu::target("avx2")]] inline unsigned lane_mask(__m256i lanes) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(lanes)));
}

// Packs one half of a block (four lanes of forms, their length fields in
// `lengths`) at `at`; returns the position after it. Stores 16 bytes.
[[gnu::target("avx2")]] inline unsigned char* pack_half(__m128i forms, unsigned lengths, unsigned char* at) {
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(lane_packs[lengths].shuffle.data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(forms, shuffle));
    return at + lane_pack_sizes[lengths];
}

template <class Char>
[[gnu::target("avx2")]] EncodedText encode_backward(const Char* chars, std::size_t length, char* out) {
    const std::size_t blocks = (length + 7) / 8;
    const std::size_t before = blocks * 8 - length;  // lanes of the first block ahead of the text
    const Char* from = chars - before;
    auto* at = reinterpret_cast<unsigned char*>(out) - before;
    // The lanes ahead of the text are zeroed: each becomes one zero byte,
    // written ahead of `out`.
    __m256i keep =
        _mm256_cmpgt_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), lanes32(static_cast<std::uint32_t>(before) - 1));
    __m256i seen = _mm256_setzero_si256();
    __m256i surrogates = _mm256_setzero_si256();
    for (std::size_t block = 0; block < blocks; ++block, from += 8) {
        const __m256i code = _mm256_and_si256(load_eight(from), keep);
        keep = _mm256_set1_epi32(-1);
        seen = _mm256_or_si256(seen, code);
        surrogates = _mm256_or_si256(surrogates,
                                     _mm256_cmpeq_epi32(_mm256_and_si256(code, lanes32(0xFFFFF800u)), lanes32(0xD800)));
        // Every form a character could take, its bytes from the lane's low
        // end; the length its code point needs picks one.
        const __m256i two = _mm256_cmpgt_epi32(code, lanes32(0x7F));
        const __m256i three = _mm256_cmpgt_epi32(code, lanes32(0x7FF));
        const __m256i four = _mm256_cmpgt_epi32(code, lanes32(0xFFFF));
        const __m256i six_bits = lanes32(0x3F);
        const __m256i continuation = lanes32(0x80);
        const __m256i last = _mm256_or_si256(_mm256_and_si256(code, six_bits), continuation);
        const __m256i middle = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(code, 6), six_bits), continuation);
        const __m256i third = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(code, 12), six_bits), continuation);
        const __m256i form2 =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(code, 6), lanes32(0xC0)), _mm256_slli_epi32(last, 8));
        const __m256i form3 =
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(code, 12), lanes32(0xE0)),
                            _mm256_or_si256(_mm256_slli_epi32(middle, 8), _mm256_slli_epi32(last, 16)));
        const __m256i form4 = _mm256_or_si256(
            _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi32(code, 18), lanes32(0xF0)), _mm256_slli_epi32(third, 8)),
            _mm256_or_si256(_mm256_slli_epi32(middle, 16), _mm256_slli_epi32(last, 24)));
        __m256i forms = _mm256_blendv_epi8(code, form2, two);
        forms = _mm256_blendv_epi8(forms, form3, three);
        forms = _mm256_blendv_epi8(forms, form4, four);
        // Each half's lengths less one, two bits a lane, choose its pack.
        const unsigned past_one = lane_mask(two), past_two = lane_mask(three), past_three = lane_mask(four);
        const unsigned low = spread[past_one & 15] + spread[past_two & 15] + spread[past_three & 15];
        const unsigned high = spread[past_one >> 4] + spread[past_two >> 4] + spread[past_three >> 4];
        at = pack_half(_mm256_castsi256_si128(forms), low, at);
        at = pack_half(_mm256_extracti128_si256(forms, 1), high, at);
    }
    __m128i bits = _mm_or_si128(_mm256_castsi256_si128(seen), _mm256_extracti128_si256(seen, 1));
    bits = _mm_or_si128(bits, _mm_srli_si128(bits, 8));
    bits = _mm_or_si128(bits, _mm_srli_si128(bits, 4));
    const CharWidth width = width_of_bits(static_cast<std::uint32_t>(_mm_cvtsi128_si32(bits)));
    if (!_mm256_testz_si256(surrogates, surrogates)) {
        return {no_utf8, width};
    }
    return {static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)), width};
}

// Decoding.

// `value` in every 16-bit lane.
[[gnu::target("avx2")]] inline __m128i lanes_of(std::uint16_t value) {
    return _mm_set1_epi16(static_cast<short>(value));
}

// Entry m gathers the characters of a block whose byte i + 1 is a
// continuation byte when bit i of m is set (byte 0 starts a character), and
// no byte of 0 to 7 starts a three- or four-byte sequence. Lane j of the
// shuffle gets the j-th character's lead byte low and its continuation byte,
// if any, high. How many characters the block holds and how many bytes they
// take follow from m by arithmetic, not from the table, so that the next
// block's address does not wait for a load from it.
using PairShuffle = std::array<std::uint8_t, 16>;
using PairGatherTable = std::array<PairShuffle, 256>;

constexpr PairGatherTable make_pair_gathers() {
    PairGatherTable table{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        PairShuffle& shuffle = table[mask];
        unsigned lane = 0;
        for (unsigned byte = 0; byte < 8; ++byte) {
            if (byte > 0 && ((mask >> (byte - 1)) & 1)) {
                continue;
            }
            const bool two_bytes = (mask >> byte) & 1;
            shuffle[2 * lane] = static_cast<std::uint8_t>(byte);
            shuffle[2 * lane + 1] = two_bytes ? static_cast<std::uint8_t>(byte + 1) : 0x80;
            ++lane;
        }
        for (; lane < 8; ++lane) {
            shuffle[2 * lane] = 0x80;
            shuffle[2 * lane + 1] = 0x80;
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
            const unsigned pairs = (continuations >> 1) & 0xFF;
            // Characters that start in bytes 0 to 7, and the bytes they take:
            // 8, or 9 when byte 8 ends one.
            std::size_t chars = 8 - static_cast<std::size_t>(std::popcount(pairs & 0x7F));
            std::size_t consumed = 8 + (pairs >> 7);
            if (first_long < 8) {
                // Only the characters before the long sequence.
                chars = first_long - static_cast<std::size_t>(std::popcount(continuations & ((1u << first_long) - 1)));
                consumed = first_long;
            }
            chars = chars < chars_left ? chars : chars_left;
            const __m128i lanes =
                _mm_shuffle_epi8(block, _mm_load_si128(reinterpret_cast<const __m128i*>(pair_gathers[pairs].data())));
            store_code_points(pair_code_points(lanes), out, chars, chars_left >= 8);
            out += chars;
            chars_left -= chars;
            at += consumed;
            bytes_left -= consumed < bytes_left ? consumed : bytes_left;
            continue;
        }
        if constexpr (sizeof(Char) > 1) {
            if ((continuations & 0x1FFF) == 0xDB6 && chars_left >= 4) {
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
        const auto used = static_cast<std::size_t>(at - start);
        bytes_left -= used < bytes_left ? used : bytes_left;
    }
}

}  // namespace

[[gnu::target("avx2")]] EncodedText encode_utf8_backward(const std::uint8_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_backward(chars, length, out);
}

[[gnu::target("avx2")]] EncodedText encode_utf8_backward(const std::uint16_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_backward(chars, length, out);
}

[[gnu::target("avx2")]] EncodedText encode_utf8_backward(const std::uint32_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_backward(chars, length, out);
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

namespace {

// Without AVX2 the scalar forms, which read and write nothing ahead.
template <class Char>
EncodedText encode_backward(const Char* chars, std::size_t length, char* out) noexcept {
    return {encode_utf8(chars, length, out), width_of_chars(chars, length)};
}

}  // namespace

EncodedText encode_utf8_backward(const std::uint8_t* chars, std::size_t length, char* out) noexcept {
    return encode_backward(chars, length, out);
}

EncodedText encode_utf8_backward(const std::uint16_t* chars, std::size_t length, char* out) noexcept {
    return encode_backward(chars, length, out);
}

EncodedText encode_utf8_backward(const std::uint32_t* chars, std::size_t length, char* out) noexcept {
    return encode_backward(chars, length, out);
}

void decode_utf8_vector(std::string_view text, std::size_t length, std::uint8_t* out, const char*) noexcept {
    decode_utf8(text, length, out);
}

void decode_utf8_vector(std::string_view text, std::size_t length, std::uint16_t* out, const char*) noexcept {
    decode_utf8(text, length, out);
}

void decode_utf8_vector(std::string_view text, std::size_t length, std::uint32_t* out, const char*) noexcept {
    decode_utf8(text, length, out);
}

}  // namespace quorvex

#endif
