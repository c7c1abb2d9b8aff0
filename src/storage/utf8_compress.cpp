// encode_utf8_compress: encode_utf8 sixteen characters a step, for processors
// with AVX-512 byte compression (VBMI2).
//
// Each character is widened to a 32-bit lane holding its UTF-8 form from the
// low byte up, as in the AVX2 encoder; a form's bytes past its first are
// never zero (a continuation byte has its high bit set), so the bytes to keep
// are the nonzero ones plus every lane's first. One compress packs them, in
// a register: the form that compresses straight to memory is slow on some
// processors. The last block's lanes past the text are masked off in the
// load, and every store is masked to the bytes written, so nothing outside
// the text or its form is read or written.
#include "storage/utf8.hpp"

#if defined(__x86_64__)

#include <immintrin.h>
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
    __m512i seen = _mm512_setzero_si512();
    __mmask16 surrogates = 0;
    for (std::size_t done = 0; done < length; done += 16) {
        const auto left = static_cast<unsigned>(length - done < 16 ? length - done : 16);
        const auto lanes = static_cast<__mmask16>(_bzhi_u32(0xFFFF, left));
        const __m512i code = load_sixteen(chars + done, lanes);
        seen = _mm512_or_si512(seen, code);
        const __m512i six_bits = lanes32(0x3F);
        const __m512i continuation = lanes32(0x80);
        const __m512i last = _mm512_or_si512(_mm512_and_si512(code, six_bits), continuation);
        const __m512i form2 =
            _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 6), lanes32(0xC0)), _mm512_slli_epi32(last, 8));
        __m512i forms = _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(code, lanes32(0x7F)), code, form2);
        if constexpr (sizeof(Char) > 1) {
            surrogates |= _mm512_cmpeq_epi32_mask(_mm512_and_si512(code, lanes32(0xFFFFF800u)), lanes32(0xD800));
            const __m512i middle =
                _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(code, 6), six_bits), continuation);
            const __m512i form3 =
                _mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 12), lanes32(0xE0)),
                                _mm512_or_si512(_mm512_slli_epi32(middle, 8), _mm512_slli_epi32(last, 16)));
            forms = _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(code, lanes32(0x7FF)), forms, form3);
            if constexpr (sizeof(Char) > 2) {
                const __m512i third =
                    _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi32(code, 12), six_bits), continuation);
                const __m512i form4 =
                    _mm512_or_si512(_mm512_or_si512(_mm512_or_si512(_mm512_srli_epi32(code, 18), lanes32(0xF0)),
                                                    _mm512_slli_epi32(third, 8)),
                                    _mm512_or_si512(_mm512_slli_epi32(middle, 16), _mm512_slli_epi32(last, 24)));
                forms = _mm512_mask_blend_epi32(_mm512_cmpgt_epu32_mask(code, lanes32(0xFFFF)), forms, form4);
            }
        }
        // Every lane's first byte (a U+0000 character's form is one zero
        // byte), then the nonzero ones; lanes past the text hold zeros.
        const __mmask64 first_bytes = _bzhi_u64(0x1111'1111'1111'1111ULL, 4 * left);
        const __mmask64 keep = _mm512_test_epi8_mask(forms, forms) | first_bytes;
        const auto bytes = static_cast<unsigned>(_mm_popcnt_u64(keep));
        _mm512_mask_storeu_epi8(at, _bzhi_u64(~0ULL, bytes), _mm512_maskz_compress_epi8(keep, forms));
        at += bytes;
    }
    const CharWidth width = width_of_bits(static_cast<std::uint32_t>(_mm512_reduce_or_epi32(seen)));
    if (surrogates != 0) {
        return {no_utf8, width};
    }
    return {static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out)), width};
}

}  // namespace

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
    // Measured on keys of 8 to 24 characters: faster than the AVX2 encoder
    // on an Intel core with full-width AVX-512 units; an encoder of this
    // kind was slower on an AMD Zen 4 core, which runs each 512-bit
    // operation as two halves.
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

bool has_utf8_compress() noexcept {
    return false;
}

bool utf8_compress_pays() noexcept {
    return false;
}

}  // namespace quorvex

#endif
