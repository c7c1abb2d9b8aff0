// UTF-8 to and from the three fixed-width forms a Python str stores its text
// in: one byte (Latin-1), two bytes (UCS-2) or four bytes (UCS-4) a character.
//
// Keys are stored as UTF-8 and handed back as str objects, so both directions
// run once per key on every construction and read-out. The interpreter's own
// codecs are general (error handlers; a decoder that widens its buffer as
// wider characters appear; an encoder whose result the str keeps as a cached
// copy). Here the decoder measures a key's exact length and width before it
// writes, and the encoder writes in one pass into room bounded by the str's
// width; neither allocates.
//
// Nothing here touches the interpreter. The decoder trusts its input to be
// well-formed UTF-8 (stored keys only ever come from encode_utf8, its vector
// form, or the interpreter's strict encoder); the encoder reports surrogates
// instead of encoding them, since strict UTF-8 has no form for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "storage/byte_order.hpp"

namespace quorvex {

// The width of the characters a str needs for a text: the largest character
// decides it, as it decides a canonical str's kind. It is a word wide, as it
// travels beside a size in small structs: a one-byte member would leave
// padding, which g++ 16 zeroes through the stack wherever such a struct is
// built, and the load that reads it back cannot be forwarded from those
// stores.
enum class CharWidth : std::size_t { ascii, latin1, ucs2, ucs4 };

// The largest code point of each width, the bound PyUnicode_New takes.
constexpr std::uint32_t max_char_of(CharWidth width) noexcept {
    switch (width) {
        case CharWidth::ascii: return 0x7F;
        case CharWidth::latin1: return 0xFF;
        case CharWidth::ucs2: return 0xFFFF;
        case CharWidth::ucs4: break;
    }
    return 0x10FFFF;
}

struct DecodedShape {
    std::size_t length;  // characters
    CharWidth width;
};
static_assert(std::has_unique_object_representations_v<DecodedShape>, "no padding, as CharWidth says");

// The shape of well-formed UTF-8 with `length` characters whose largest byte
// is `top`. A sequence's lead byte bounds its code point exactly at the width
// boundaries: C2-C3 lead 0x80-0xFF, C4-DF lead 0x100-0x7FF, E0-EF lead
// 0x800-0xFFFF and F0-F4 lead 0x10000 and above.
constexpr DecodedShape shape_of(std::size_t length, unsigned char top) noexcept {
    const CharWidth width = top < 0x80   ? CharWidth::ascii
                            : top < 0xC4 ? CharWidth::latin1
                            : top < 0xF0 ? CharWidth::ucs2
                                         : CharWidth::ucs4;
    return {length, width};
}

// Characters and width of well-formed UTF-8.
inline DecodedShape utf8_shape(std::string_view text) noexcept {
    std::size_t continuations = 0;
    unsigned char top = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        continuations += (byte & 0xC0) == 0x80;
        top = byte > top ? byte : top;
    }
    return shape_of(text.size() - continuations, top);
}

// The code point of the well-formed UTF-8 sequence at `at`; moves `at` past it.
inline std::uint32_t decode_one(const unsigned char*& at) noexcept {
    const std::uint32_t lead = *at++;
    std::uint32_t code = lead;
    if (lead >= 0xF0) {
        code = ((lead & 0x07) << 18) | ((at[0] & 0x3Fu) << 12) | ((at[1] & 0x3Fu) << 6) | (at[2] & 0x3Fu);
        at += 3;
    } else if (lead >= 0xE0) {
        code = ((lead & 0x0F) << 12) | ((at[0] & 0x3Fu) << 6) | (at[1] & 0x3Fu);
        at += 2;
    } else if (lead >= 0x80) {
        code = ((lead & 0x1F) << 6) | (at[0] & 0x3Fu);
        at += 1;
    }
    return code;
}

// Writes the code points of well-formed UTF-8 of `length` characters
// (utf8_shape(text).length) to `out`, in a type wide enough for them.
//
// Every decoder writes exactly `length` characters and stops, whatever the
// text: should a stored text ever hold fewer, the rest are U+0000, and
// should it hold more, they are not written. A fault in the code that
// stores texts then shows as a wrong key, not as a write past a str or a
// decoder that never ends.
template <class Char>
void decode_utf8(std::string_view text, std::size_t length, Char* out) noexcept {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = at + text.size();
    Char* const last = out + length;
    while (out != last && at < end) {
        *out++ = static_cast<Char>(decode_one(at));
    }
    while (out != last) {
        *out++ = 0;
    }
}

// What encode_utf8 returns when a character is a surrogate (U+D800 to
// U+DFFF), which strict UTF-8 cannot encode.
constexpr std::size_t no_utf8 = ~std::size_t{0};

// `when ? chosen : otherwise` through a mask, which compilers keep free of
// branches (a plain conditional they may turn back into one).
constexpr std::uint32_t select(bool when, std::uint32_t chosen, std::uint32_t otherwise) noexcept {
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(when);
    return otherwise ^ ((otherwise ^ chosen) & mask);
}

// Room encode_utf8 needs for `length` characters of `char_size` bytes (1, 2
// or 4): each takes at most as many UTF-8 bytes as its size allows (two,
// three or four), and the encoder may store up to 32 bytes past the last
// character's form. The factor is looked up rather than chosen by a branch,
// which texts of mixed sizes would mispredict.
constexpr std::size_t utf8_bound(std::size_t length, std::size_t char_size) noexcept {
    constexpr unsigned char widest[5] = {0, 2, 3, 0, 4};
    return length * widest[char_size] + 32;
}

template <class Char>
constexpr std::size_t utf8_bound(std::size_t length) noexcept {
    return utf8_bound(length, sizeof(Char));
}

// Writes the UTF-8 form of `length` characters to `out`, which has room for
// utf8_bound<Char>(length) bytes, and returns its size; or no_utf8 when one
// of them is a surrogate (what was written is then meaningless).
//
// Keys mix one-, two- and three-byte characters at random, so a branch per
// character mispredicts often. Instead every character computes each form it
// could take as one little-endian word, a select picks the right one, all
// four bytes are stored, and the cursor moves on by the form's true length.
template <class Char>
std::size_t encode_utf8(const Char* chars, std::size_t length, char* out) noexcept {
    auto* at = reinterpret_cast<unsigned char*>(out);
    bool surrogate = false;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t code = chars[i];
        const std::uint32_t low = 0x80 | (code & 0x3F);
        std::uint32_t word = select(code >= 0x80, (0xC0 | (code >> 6)) | low << 8, code);
        std::size_t size = 1 + (code >= 0x80);
        if constexpr (sizeof(Char) > 1) {
            const std::uint32_t middle = 0x80 | ((code >> 6) & 0x3F);
            word = select(code >= 0x800, (0xE0 | (code >> 12)) | middle << 8 | low << 16, word);
            size += code >= 0x800;
            surrogate |= (code & 0xFFFFF800u) == 0xD800u;
        }
        if constexpr (sizeof(Char) > 2) {
            const std::uint32_t four = (0xF0 | (code >> 18)) | (0x80 | ((code >> 12) & 0x3F)) << 8 |
                                       (0x80 | ((code >> 6) & 0x3F)) << 16 | low << 24;
            word = select(code >= 0x10000, four, word);
            size += code >= 0x10000;
        }
        store_le32(at, word);
        at += size;
    }
    return surrogate ? no_utf8 : static_cast<std::size_t>(at - reinterpret_cast<unsigned char*>(out));
}

// The width of the characters a text needs, from the OR of all of them.
constexpr CharWidth width_of_bits(std::uint32_t bits) noexcept {
    return bits < 0x80      ? CharWidth::ascii
           : bits < 0x100   ? CharWidth::latin1
           : bits < 0x10000 ? CharWidth::ucs2
                            : CharWidth::ucs4;
}

template <class Char>
CharWidth width_of_chars(const Char* chars, std::size_t length) noexcept {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < length; ++i) {
        bits |= chars[i];
    }
    return width_of_bits(bits);
}

// A text's UTF-8 size (or no_utf8) and the width of its characters.
struct EncodedText {
    std::size_t size;
    CharWidth width;
};
static_assert(std::has_unique_object_representations_v<EncodedText>, "no padding, as CharWidth says");

// Room before `out` that encode_utf8_backward may write over.
constexpr std::size_t utf8_lead_room = 8;

// encode_utf8 with AVX2, which also gives the characters' width: the same
// bytes and size. Call it only where the processor supports AVX2.
//
// The text is taken in blocks of eight characters that end where it ends, so
// that no block reads past the last character and no branch depends on what
// the characters are: the first block starts up to seven characters before
// `chars`, and its form up to seven bytes before `out`. Both places must be
// the caller's memory (a compact str keeps its header right before its
// characters; the caller leaves utf8_lead_room bytes before `out`); what is
// read there is not used, and what is written there is meaningless. `out`
// needs room for utf8_bound<Char>(length) bytes.
EncodedText encode_utf8_backward(const std::uint8_t* chars, std::size_t length, char* out) noexcept;
EncodedText encode_utf8_backward(const std::uint16_t* chars, std::size_t length, char* out) noexcept;
EncodedText encode_utf8_backward(const std::uint32_t* chars, std::size_t length, char* out) noexcept;

// encode_utf8 with AVX-512 byte compression, sixteen characters a step, which
// also gives the characters' width: the same bytes and size. It reads only
// the text and writes only its form, into room for utf8_bound<Char>(length)
// bytes. Call it only where has_utf8_compress() says the processor can;
// utf8_compress_pays() says whether it and decode_utf8_compress are also
// faster there than the AVX2 forms.
EncodedText encode_utf8_compress(const std::uint8_t* chars, std::size_t length, char* out) noexcept;
EncodedText encode_utf8_compress(const std::uint16_t* chars, std::size_t length, char* out) noexcept;
EncodedText encode_utf8_compress(const std::uint32_t* chars, std::size_t length, char* out) noexcept;
bool has_utf8_compress() noexcept;
bool utf8_compress_pays() noexcept;

// decode_utf8 with AVX-512 byte compression, sixteen characters a step, for
// a text of `length` characters; it reads nothing past the text. Call it
// only where has_utf8_compress() says the processor can.
void decode_utf8_compress(std::string_view text, std::size_t length, std::uint8_t* out) noexcept;
void decode_utf8_compress(std::string_view text, std::size_t length, std::uint16_t* out) noexcept;
void decode_utf8_compress(std::string_view text, std::size_t length, std::uint32_t* out) noexcept;

// decode_utf8 with AVX2 where the target has it, for a text of `length`
// characters: the same result, sixteen bytes a step. Call it only where the
// processor supports AVX2. The text must lie in readable memory that ends
// at `readable_end`: blocks that start within 16 bytes of it are copied
// before they are read, others are read in place, past the text's end.
void decode_utf8_vector(std::string_view text, std::size_t length, std::uint8_t* out,
                        const char* readable_end) noexcept;
void decode_utf8_vector(std::string_view text, std::size_t length, std::uint16_t* out,
                        const char* readable_end) noexcept;
void decode_utf8_vector(std::string_view text, std::size_t length, std::uint32_t* out,
                        const char* readable_end) noexcept;

}  // namespace quorvex
