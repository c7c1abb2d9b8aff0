// encode_utf8 and decode_utf8 sixteen characters a step, for processors with
// AVX-512 byte compression (VBMI2).
//
// Each character is widened to a 32-bit lane holding its UTF-8 form from the
// low byte up, as in the AVX2 encoder; a form's bytes past its first are
// never zero (a continuation byte has its high bit set), so the bytes to keep
// are the nonzero ones plus every lane's first. One compress packs them, in
// a register: the form that compresses straight to memory is slow on some
// processors. The last block's lanes past the text are masked off in the
// load, and every store is masked to the bytes written, so nothing outside
// the text or its form is read or written.
//
// Decoding takes a block of up to 64 bytes (masked to the text) and its
// first sixteen characters: the bytes that are not continuations are their
// leads, and four compresses of the block, read at the leads and one, two
// and three bytes on, give each character's bytes in a lane, from which its
// code point follows by its lead. The next block starts at the first lead
// not taken.
#include "storage/utf8.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <bit>

// GCC 12's AVX-512 intrinsics pass an undefined register as the merge source
// they ignore, which GCC's own uninitialised-use warnings report wherever
// they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define QUORVEX_COMPRESS_TARGET [[gnu::target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,popcnt")]]

namespace quorvex {
namespace {

QUORVEX_COMPRESS_TARGET inline __m512i load_sixteen(const std::uint8_t* chars, __mmask16 lanes) {
    return _mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(lanes, chars));
}

QUORVEX_COMPRESS_TARGET inline __m512i load_sixteen(const std::uint16_t* chars, __mmask16 lanes) {
    return _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(lanes, chars));
}

QUORVEX_COMPRESS_TARGET inline __m512i load_sixteen(const std::uint32_t* chars, __mmask16 lanes) {
    return _mm512_maskz_loadu_epi32(lanes, chars);
}

QUORVEX_COMPRESS_TARGET inline __m512i lanes32(std::uint32_t value) {
    return _mm512_set1_epi32(static_cast<int>(value));
}

template <class Char>
QUORVEX_COMPRESS_TARGET EncodedText encode_compress(const Char* chars, std::size_t length, char* out) {
    auto* at = reinterpret_cast<unsigned char*>(out);
    // Lanes seen above each width's largest character, and surrogates.
    __mmask16 above_ascii = 0;
    __mmask16 above_latin1 = 0;
    __mmask16 above_ucs2 = 0;
    __mmask16 surrogates = 0;
    for (std::size_t done = 0; done < length; done += 16) {
        const auto left = static_cast<unsigned>(length - done < 16 ? length - done : 16);
        const auto lanes = static_cast<__mmask16>(_bzhi_u32(0xFFFF, left));
        const __m512i code = load_sixteen(chars + done, lanes);
        const __m512i six_bits = lanes32(0x3F);
        const __m512i continuation = lanes32(0x80);
        const __m512i last = _mm512_or_si512(_mm512_and_si512(code, six_bits), continuation);
        const __m512i form2 =
            _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 6), lanes32(0xC0)), _mm512_slli_epi32(last, 8));
        const __mmask16 two = _mm512_cmpgt_epu32_mask(code, lanes32(0x7F));
        above_ascii |= two;
        __m512i forms = _mm512_mask_blend_epi32(two, code, form2);
        if constexpr (sizeof(Char) > 1) {
            above_latin1 |= _mm512_cmpgt_epu32_mask(code, lanes32(0xFF));
            surrogates |= _mm512_cmpeq_epi32_mask(_mm512_and_si512(code, lanes32(0xFFFFF800u)), lanes32(0xD800));
            const __m512i middle =
                _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(code, 6), six_bits), continuation);
            const __m512i form3 =
                _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 12), lanes32(0xE0)),
                                _mm512_or_si512(_mm512_slli_epi32(middle, 8), _mm512_slli_epi32(last, 16)));
            forms = _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(code, lanes32(0x7FF)), forms, form3);
            if constexpr (sizeof(Char) > 2) {
                const __mmask16 four = _mm512_cmpgt_epu32_mask(code, lanes32(0xFFFF));
                above_ucs2 |= four;
                const __m512i third =
                    _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(code, 12), six_bits), continuation);
                const __m512i form4 =
                    _mm512_or_si512(_mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 18), lanes32(0xF0)),
                                                    _mm512_slli_epi32(third, 8)),
                                    _mm512_or_si512(_mm512_slli_epi32(middle, 16), _mm512_slli_epi32(last, 24)));
                forms = _mm512_mask_blend_epi32(four, forms, form4);
            }
        }
        // Every lane's first byte (a U+0000 character's form is one zero
        // byte), then the nonzero ones; lanes past the text hold zeros. The
        // first bytes are marked in the register tested, so that the mask
        // goes from the test to the compress without leaving mask registers.
        const __m512i first_byte_marks = _mm512_maskz_mov_epi32(lanes, lanes32(1));
        const __mmask64 keep = _mm512_test_epi8_mask(_mm512_or_si512(forms, first_byte_marks), _mm512_set1_epi8(-1));
        const auto bytes = static_cast<unsigned>(_mm_popcnt_u64(keep));
        _mm512_mask_storeu_epi8(at, _bzhi_u64(~0ULL, bytes), _mm512_maskz_compress_epi8(keep, forms));
        at += bytes;
    }
    const auto width = static_cast<CharWidth>((above_ascii != 0) + (above_latin1 != 0) + (above_ucs2 != 0));
    if (surrogates != 0) {
        return {no_utf8, width};
    }
    return {static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)), width};
}

// `count` code points from the lanes of `code` to `out`.
QUORVEX_COMPRESS_TARGET inline void store_chars(std::uint8_t* out, __m512i code, unsigned count) {
    _mm512_mask_cvtepi32_storeu_epi8(out, static_cast<__mmask16>(_bzhi_u32(0xFFFF, count)), code);
}

QUORVEX_COMPRESS_TARGET inline void store_chars(std::uint16_t* out, __m512i code, unsigned count) {
    _mm512_mask_cvtepi32_storeu_epi16(out, static_cast<__mmask16>(_bzhi_u32(0xFFFF, count)), code);
}

QUORVEX_COMPRESS_TARGET inline void store_chars(std::uint32_t* out, __m512i code, unsigned count) {
    _mm512_mask_storeu_epi32(out, static_cast<__mmask16>(_bzhi_u32(0xFFFF, count)), code);
}

// The bytes at `at + shift` up to the text's end, zero past it, in a
// register's low bytes, widened to 32-bit lanes after the compress that
// picks each character's byte `shift` of its sequence.
QUORVEX_COMPRESS_TARGET inline __m512i sequence_bytes(const unsigned char* at, std::size_t bytes, unsigned shift,
                                                      __mmask64 leads) {
    const __mmask64 readable = bytes > shift ? _bzhi_u64(~0ULL, static_cast<unsigned>(bytes - shift)) : 0;
    const __m512i block = _mm512_maskz_loadu_epi8(readable, at + shift);
    return _mm512_cvtepu8_epi32(_mm512_castsi512_si128(_mm512_maskz_compress_epi8(leads, block)));
}

template <class Char>
QUORVEX_COMPRESS_TARGET void decode_compress(std::string_view text, std::size_t length, Char* out) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t bytes_left = text.size();
    std::size_t chars_left = length;
    while (chars_left != 0) {
        const std::size_t bytes = bytes_left < 64 ? bytes_left : 64;
        const __mmask64 own = _bzhi_u64(~0ULL, static_cast<unsigned>(bytes));
        const __m512i block = _mm512_maskz_loadu_epi8(own, at);
        const __mmask64 continuations =
            _mm512_cmpeq_epi8_mask(_mm512_and_si512(block, _mm512_set1_epi8(static_cast<char>(0xC0))),
                                   _mm512_set1_epi8(static_cast<char>(0x80)));
        // The first sixteen characters: a character takes at most four
        // bytes, so they start at byte 60 or before and end in the block.
        const __mmask64 all_leads = own & ~continuations;
        // Never more characters than are left to write; none found means
        // the text ran out first (see decode_utf8).
        const auto found = static_cast<std::size_t>(_mm_popcnt_u64(all_leads));
        const auto count = static_cast<unsigned>(std::min({found, std::size_t{16}, chars_left}));
        if (count == 0) {
            std::fill(out, out + chars_left, Char{0});
            return;
        }
        const __mmask64 leads = _pdep_u64(_bzhi_u64(~0ULL, count), all_leads);
        const __m512i lead = sequence_bytes(at, bytes, 0, leads);
        const __m512i second = sequence_bytes(at, bytes, 1, leads);
        const __m512i third = sequence_bytes(at, bytes, 2, leads);
        const __m512i six_bits = _mm512_set1_epi32(0x3F);
        const __m512i low2 = _mm512_and_si512(second, six_bits);
        const __m512i low3 = _mm512_and_si512(third, six_bits);
        __m512i code = _mm512_mask_blend_epi32(
            _mm512_cmpge_epu32_mask(lead, _mm512_set1_epi32(0xC0)), lead,
            _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(lead, _mm512_set1_epi32(0x1F)), 6), low2));
        if constexpr (sizeof(Char) > 1) {
            code = _mm512_mask_blend_epi32(
                _mm512_cmpge_epu32_mask(lead, _mm512_set1_epi32(0xE0)), code,
                _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(lead, _mm512_set1_epi32(0x0F)), 12),
                                                _mm512_slli_epi32(low2, 6)),
                                low3));
            if constexpr (sizeof(Char) > 2) {
                const __m512i fourth = sequence_bytes(at, bytes, 3, leads);
                code = _mm512_mask_blend_epi32(
                    _mm512_cmpge_epu32_mask(lead, _mm512_set1_epi32(0xF0)), code,
                    _mm512_or_si512(
                        _mm512_or_si512(_mm512_slli_epi32(_mm512_and_si512(lead, _mm512_set1_epi32(0x07)), 18),
                                        _mm512_slli_epi32(low2, 12)),
                        _mm512_or_si512(_mm512_slli_epi32(low3, 6), _mm512_and_si512(fourth, six_bits))));
            }
        }
        store_chars(out, code, count);
        out += count;
        chars_left -= count;
        // The next character starts at the first lead not taken; with none
        // left in the block, the last one taken runs to its end.
        const auto last = static_cast<unsigned>(63 - std::countl_zero(static_cast<std::uint64_t>(leads)));
        const std::uint64_t later = last == 63 ? 0 : all_leads >> (last + 1);
        const std::size_t consumed = later != 0 ? last + 1 + static_cast<std::size_t>(std::countr_zero(later)) : bytes;
        at += consumed;
        bytes_left -= consumed;
    }
}

}  // namespace

QUORVEX_COMPRESS_TARGET void decode_utf8_compress(std::string_view text, std::size_t length,
                                                  std::uint8_t* out) noexcept {
    decode_compress(text, length, out);
}

QUORVEX_COMPRESS_TARGET void decode_utf8_compress(std::string_view text, std::size_t length,
                                                  std::uint16_t* out) noexcept {
    decode_compress(text, length, out);
}

QUORVEX_COMPRESS_TARGET void decode_utf8_compress(std::string_view text, std::size_t length,
                                                  std::uint32_t* out) noexcept {
    decode_compress(text, length, out);
}

QUORVEX_COMPRESS_TARGET EncodedText encode_utf8_compress(const std::uint8_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_compress(chars, length, out);
}

QUORVEX_COMPRESS_TARGET EncodedText encode_utf8_compress(const std::uint16_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_compress(chars, length, out);
}

QUORVEX_COMPRESS_TARGET EncodedText encode_utf8_compress(const std::uint32_t* chars, std::size_t length,
                                                         char* out) noexcept {
    return encode_compress(chars, length, out);
}

bool has_utf8_compress() noexcept {
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
                                  __builtin_cpu_supports("bmi2");
    return supported;
}

bool utf8_compress_pays() noexcept {
    // Measured on keys of 8 to 24 characters: faster than the AVX2 forms on
    // an Intel core with full-width AVX-512 units; an encoder of this kind
    // was slower on an AMD Zen 4 core, which runs each 512-bit operation as
    // two halves.
    static const bool pays = has_utf8_compress() && __builtin_cpu_is("intel");
    return pays;
}

}  // namespace quorvex

#else

namespace quorvex {

EncodedText encode_utf8_compress(const std::uint8_t* chars, std::size_t length, char* out) noexcept {
    return {encode_utf8(chars, length, out), width_of_chars(chars, length)};
}

EncodedText encode_utf8_compress(const std::uint16_t* chars, std::size_t length, char* out) noexcept {
    return {encode_utf8(chars, length, out), width_of_chars(chars, length)};
}

EncodedText encode_utf8_compress(const std::uint32_t* chars, std::size_t length, char* out) noexcept {
    return {encode_utf8(chars, length, out), width_of_chars(chars, length)};
}

void decode_utf8_compress(std::string_view text, std::size_t length, std::uint8_t* out) noexcept {
    decode_utf8(text, length, out);
}

void decode_utf8_compress(std::string_view text, std::size_t length, std::uint16_t* out) noexcept {
    decode_utf8(text, length, out);
}

void decode_utf8_compress(std::string_view text, std::size_t length, std::uint32_t* out) noexcept {
    decode_utf8(text, length, out);
}

bool has_utf8_compress() noexcept {
    return false;
}

bool utf8_compress_pays() noexcept {
    return false;
}

}  // namespace quorvex

#endif
