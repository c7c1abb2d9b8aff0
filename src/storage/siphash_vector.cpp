// keyed_hash_many and siphash13_many: SipHash-1-3 over many keys, eight at a
// time in the 64-bit lanes of AVX-512 registers. One key's rounds form a single dependency
// chain, so the scalar hash leaves most of the core idle; eight chains side
// by side fill it. AVX-512 rotates a lane in one instruction (AVX2 needs
// three), which is what makes the lanes pay.
//
// Each lane gathers its key's whole words, then takes the one or two final
// words keyed_hash ends with (the last bytes, the 0xFF marker, the length
// byte), or the one siphash13 ends with (the last bytes, the length byte),
// built in the lanes from a gather of the key's last eight bytes. No
// lane reads a byte outside its key: a key shorter than eight bytes is read
// by the scalar code. Lanes whose message has fewer words than the longest
// one in the group sit out the rounds it no longer needs (masked).
#include <cstddef>
#include <cstdint>

#include "storage/siphash.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
// GCC 12's AVX-512 intrinsics pass an undefined register as the merge source
// they ignore, which GCC's own uninitialised-use warnings report wherever
// they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace quorvex {

#if defined(__x86_64__)
namespace {

constexpr std::size_t lanes = 8;

struct Lanes {
    __m512i v0, v1, v2, v3;
};

// One SipRound in the lanes of `active`; the others keep their state.
[[gnu::target("avx512f")]] inline void round(Lanes& s, __mmask8 active) {
    s.v0 = _mm512_mask_add_epi64(s.v0, active, s.v0, s.v1);
    s.v1 = _mm512_mask_rol_epi64(s.v1, active, s.v1, 13);
    s.v1 = _mm512_mask_xor_epi64(s.v1, active, s.v1, s.v0);
    s.v0 = _mm512_mask_rol_epi64(s.v0, active, s.v0, 32);
    s.v2 = _mm512_mask_add_epi64(s.v2, active, s.v2, s.v3);
    s.v3 = _mm512_mask_rol_epi64(s.v3, active, s.v3, 16);
    s.v3 = _mm512_mask_xor_epi64(s.v3, active, s.v3, s.v2);
    s.v0 = _mm512_mask_add_epi64(s.v0, active, s.v0, s.v3);
    s.v3 = _mm512_mask_rol_epi64(s.v3, active, s.v3, 21);
    s.v3 = _mm512_mask_xor_epi64(s.v3, active, s.v3, s.v0);
    s.v2 = _mm512_mask_add_epi64(s.v2, active, s.v2, s.v1);
    s.v1 = _mm512_mask_rol_epi64(s.v1, active, s.v1, 17);
    s.v1 = _mm512_mask_xor_epi64(s.v1, active, s.v1, s.v2);
    s.v2 = _mm512_mask_rol_epi64(s.v2, active, s.v2, 32);
}

inline long long size_of(std::string_view key) {
    return static_cast<long long>(key.size());
}

inline long long address_of(std::string_view key) {
    return static_cast<long long>(reinterpret_cast<std::uintptr_t>(key.data()));
}

// Eight keys being hashed, one in each lane; `marked`: each message ends
// with the 0xFF marker (keyed_hash), or is the bytes alone (siphash13).
template <bool marked>
class Group {
public:
    [[gnu::target("avx512f")]] Group(const HashSeed& seed, const std::string_view* keys) {
        // Built in registers: eight scalar stores read back as one vector
        // would wait, as a load that spans several stores cannot be
        // forwarded from them.
        const __m512i size = _mm512_set_epi64(size_of(keys[7]), size_of(keys[6]), size_of(keys[5]), size_of(keys[4]),
                                              size_of(keys[3]), size_of(keys[2]), size_of(keys[1]), size_of(keys[0]));
        at_ = _mm512_set_epi64(address_of(keys[7]), address_of(keys[6]), address_of(keys[5]), address_of(keys[4]),
                               address_of(keys[3]), address_of(keys[2]), address_of(keys[1]), address_of(keys[0]));
        whole_words_ = _mm512_srlv_epi64(size, _mm512_set1_epi64(3));
        const __m512i tail = _mm512_and_si512(size, _mm512_set1_epi64(7));
        const __m512i tail_bits = _mm512_sllv_epi64(tail, _mm512_set1_epi64(3));
        // The last 0..7 bytes, as tail_bytes takes them: the key's last eight
        // bytes shifted down; a key shorter than eight bytes is read byte by byte.
        const __mmask8 short_keys = _mm512_cmplt_epi64_mask(size, _mm512_set1_epi64(8));
        const __m512i last_eight = _mm512_add_epi64(at_, _mm512_sub_epi64(size, _mm512_set1_epi64(8)));
        __m512i tail_word = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), static_cast<__mmask8>(~short_keys),
                                                        last_eight, nullptr, 1);
        tail_word = _mm512_srlv_epi64(tail_word, _mm512_sub_epi64(_mm512_set1_epi64(64), tail_bits));
        if (short_keys != 0) [[unlikely]] {
            alignas(64) long long short_words[lanes] = {};
            for (std::size_t i = 0; i < lanes; ++i) {
                if ((short_keys >> i & 1) != 0) {
                    short_words[i] = static_cast<long long>(tail_bytes(keys[i]));
                }
            }
            tail_word = _mm512_mask_load_epi64(tail_word, short_keys, short_words);
        }
        if constexpr (marked) {
            tail_word = _mm512_or_si512(tail_word, _mm512_sllv_epi64(_mm512_set1_epi64(0xFF), tail_bits));
            second_final_ = _mm512_sllv_epi64(_mm512_add_epi64(size, _mm512_set1_epi64(1)), _mm512_set1_epi64(56));
            // The marker may complete a word; the length byte then starts a second one.
            const __mmask8 two_final = _mm512_cmpeq_epi64_mask(tail, _mm512_set1_epi64(7));
            first_final_ = _mm512_mask_or_epi64(tail_word, static_cast<__mmask8>(~two_final), tail_word, second_final_);
            all_words_ = _mm512_add_epi64(
                whole_words_, _mm512_mask_blend_epi64(two_final, _mm512_set1_epi64(1), _mm512_set1_epi64(2)));
        } else {
            first_final_ = _mm512_or_si512(tail_word, _mm512_sllv_epi64(size, _mm512_set1_epi64(56)));
            second_final_ = first_final_;
            all_words_ = _mm512_add_epi64(whole_words_, _mm512_set1_epi64(1));
        }
        words_ = _mm512_reduce_max_epi64(all_words_);
        s_ = {_mm512_set1_epi64(static_cast<long long>(seed.k0 ^ 0x736f6d6570736575ULL)),
              _mm512_set1_epi64(static_cast<long long>(seed.k1 ^ 0x646f72616e646f6dULL)),
              _mm512_set1_epi64(static_cast<long long>(seed.k0 ^ 0x6c7967656e657261ULL)),
              _mm512_set1_epi64(static_cast<long long>(seed.k1 ^ 0x7465646279746573ULL))};
    }

    // The number of words of the longest key's message.
    long long words() const { return words_; }

    // Absorbs message word `word` of every key that has one.
    [[gnu::target("avx512f")]] void absorb(long long word) {
        const __m512i index = _mm512_set1_epi64(word);
        const __mmask8 active = _mm512_cmplt_epi64_mask(index, all_words_);
        const __mmask8 in_text = _mm512_cmplt_epi64_mask(index, whole_words_);
        const __mmask8 first_final = _mm512_cmpeq_epi64_mask(index, whole_words_);
        __m512i m = _mm512_mask_i64gather_epi64(second_final_, in_text, at_, nullptr, 1);
        m = _mm512_mask_mov_epi64(m, first_final, first_final_);
        s_.v3 = _mm512_mask_xor_epi64(s_.v3, active, s_.v3, m);
        round(s_, active);
        s_.v0 = _mm512_mask_xor_epi64(s_.v0, active, s_.v0, m);
        at_ = _mm512_add_epi64(at_, _mm512_set1_epi64(8));
    }

    // The finalisation rounds; stores the eight hashes at `out`.
    [[gnu::target("avx512f")]] void finish(std::uint64_t* out) {
        s_.v2 = _mm512_xor_si512(s_.v2, _mm512_set1_epi64(0xFF));
        round(s_, 0xFF);
        round(s_, 0xFF);
        round(s_, 0xFF);
        _mm512_storeu_si512(out, _mm512_xor_si512(_mm512_xor_si512(s_.v0, s_.v1), _mm512_xor_si512(s_.v2, s_.v3)));
    }

private:
    Lanes s_;
    __m512i at_;            // where each key's next whole word is
    __m512i whole_words_;   // words wholly within the key
    __m512i all_words_;     // words of the message
    __m512i first_final_;   // the word after the whole ones
    __m512i second_final_;  // the length word, where the marker completes a word
    long long words_;
};

// The hashes of keys[0..8) into out[0..8).
template <bool marked>
[[gnu::target("avx512f")]] void hash_eight(const HashSeed& seed, const std::string_view* keys, std::uint64_t* out) {
    Group<marked> group(seed, keys);
    for (long long word = 0; word < group.words(); ++word) {
        group.absorb(word);
    }
    group.finish(out);
}

}  // namespace
#endif

namespace {

// The hashes of texts[0..count) into out[0..count), as keyed_hash gives them
// (`marked`) or as siphash13 does.
template <bool marked>
void hash_all(const HashSeed& seed, const std::string_view* texts, std::size_t count, std::uint64_t* out,
              bool vector) noexcept {
    std::size_t done = 0;
#if defined(__x86_64__)
    if (vector) {
        for (; done + lanes <= count; done += lanes) {
            hash_eight<marked>(seed, texts + done, out + done);
        }
    }
#else
    (void)vector;
#endif
    for (; done < count; ++done) {
        out[done] = marked ? keyed_hash(seed, texts[done]) : siphash13(seed, texts[done]);
    }
}

}  // namespace

void keyed_hash_many(const HashSeed& seed, const std::string_view* keys, std::size_t count, std::uint64_t* out,
                     bool vector) noexcept {
    hash_all<true>(seed, keys, count, out, vector);
}

void siphash13_many(const HashSeed& seed, const std::string_view* texts, std::size_t count, std::uint64_t* out,
                    bool vector) noexcept {
    hash_all<false>(seed, texts, count, out, vector);
}

}  // namespace quorvex
