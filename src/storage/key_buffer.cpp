#include "storage/key_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "storage/cpu_features.hpp"
#include "storage/host.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorvex {

namespace {

constexpr std::size_t min_capacity = 256;
// Records seen before their average is trusted to size the buffer.
constexpr std::size_t min_sample = 64;
constexpr std::size_t max_reserved_per_record = 64;

std::size_t varint_size(std::uint64_t value) noexcept {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

// A word of a key's bytes as they lie in memory, to be stored back as they
// are: no byte order is involved.
template <class Word>
Word load_bytes(const char* at) noexcept {
    Word word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

unsigned char* write_varint(unsigned char* out, std::uint64_t value) noexcept {
    while (value >= 0x80) {
        *out++ = static_cast<unsigned char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *out++ = static_cast<unsigned char>(value);
    return out;
}

// Copies a key with a few (possibly overlapping) loads and stores instead of
// a call to memcpy. Keys of 8 to 32 bytes, the usual ones, take the same four
// eight-byte moves whatever their length, so that random lengths cost no
// mispredicted branch: the second and third start at 8 and 16, or earlier
// where the key ends sooner, and the fourth ends at the key's end.
void copy_key(unsigned char* out, const char* key, std::size_t length) noexcept {
    if (length >= 8 && length <= 32) {
        const std::size_t last = length - 8;
        const std::size_t second = last < 8 ? last : 8;
        const std::size_t third = last < 16 ? last : 16;
        const std::uint64_t words[4] = {load_bytes<std::uint64_t>(key), load_bytes<std::uint64_t>(key + second),
                                        load_bytes<std::uint64_t>(key + third), load_bytes<std::uint64_t>(key + last)};
        std::memcpy(out, &words[0], 8);
        std::memcpy(out + second, &words[1], 8);
        std::memcpy(out + third, &words[2], 8);
        std::memcpy(out + last, &words[3], 8);
    } else if (length >= 4 && length < 8) {
        const auto first = load_bytes<std::uint32_t>(key);
        const auto last = load_bytes<std::uint32_t>(key + length - 4);
        std::memcpy(out, &first, 4);
        std::memcpy(out + length - 4, &last, 4);
    } else if (length < 4) {
        for (std::size_t i = 0; i < length; ++i) {
            out[i] = static_cast<unsigned char>(key[i]);
        }
    } else {
        std::memcpy(out, key, length);
    }
}

#if defined(__x86_64__)
// A key of up to 64 bytes in one masked load and store, so that keys of
// mixed lengths take no branch on their length. Masked-off bytes are never
// read or written, whatever memory lies there; but a load that started at
// the key would span the lines after it, often another object's, and
// where keys lie scattered in memory that line's miss is waited for all the
// same (construction from such a dict took 47 % longer). So the load ends
// where the key ends, spanning the key's str header or the room it was
// encoded into, and the key's bytes are packed down from the register's top.
[[gnu::target("avx512f,avx512bw,avx512vbmi2,bmi2")]] void copy_key_masked(unsigned char* out, const char* key,
                                                                          std::size_t length) noexcept {
    if (length <= 64) [[likely]] {
        const auto size = static_cast<unsigned>(length);
        const __mmask64 top = ~_bzhi_u64(~0ULL, 64 - size);
        // The address may lie before the key's memory, so it is formed as an
        // integer: no pointer outside the key is made.
        const auto from = reinterpret_cast<std::uintptr_t>(key) + length - 64;
        const __m512i bytes =
            _mm512_maskz_compress_epi8(top, _mm512_maskz_loadu_epi8(top, reinterpret_cast<const void*>(from)));
        _mm512_mask_storeu_epi8(out, _bzhi_u64(~0ULL, size), bytes);
    } else {
        std::memcpy(out, key, length);
    }
}

bool has_masked_copy() noexcept {
    static const bool supported =
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
    return supported && loops::widest() == loops::Width::avx512;
}
#else
void copy_key_masked(unsigned char* out, const char* key, std::size_t length) noexcept {
    copy_key(out, key, length);
}

bool has_masked_copy() noexcept {
    return false;
}
#endif

}  // namespace

KeyBuffer::KeyBuffer(std::size_t expected_records) noexcept
    : expected_records_(expected_records), masked_copy_(has_masked_copy()) {}

KeyBuffer::KeyBuffer(KeyBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      records_(std::exchange(other.records_, 0)),
      expected_records_(std::exchange(other.expected_records_, 0)),
      masked_copy_(other.masked_copy_) {}

KeyBuffer& KeyBuffer::operator=(KeyBuffer&& other) noexcept {
    if (this != &other) {
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        records_ = std::exchange(other.records_, 0);
        expected_records_ = std::exchange(other.expected_records_, 0);
        masked_copy_ = other.masked_copy_;
    }
    return *this;
}

std::uint64_t KeyBuffer::append(std::string_view key, DecodedShape shape) {
    // utf8_shape gives a wider width than ASCII exactly when a byte is >= 0x80.
    const bool shaped = shape.width != CharWidth::ascii;
    const std::uint64_t head = std::uint64_t{key.size()} << 1 | static_cast<std::uint64_t>(shaped);
    const std::uint64_t shape_code = std::uint64_t{shape.length} << 2 | static_cast<std::uint64_t>(shape.width);
    // The usual key (under 64 bytes and 32 characters) has a one-byte head
    // and shape. Its shape byte is written whether it is kept or not, so
    // that keys mixing ASCII and other texts at random take no branch on it.
    const bool short_record = head < 0x80 && shape_code < 0x80;
    const std::size_t heads = short_record ? 1 + static_cast<std::size_t>(shaped)
                                           : varint_size(head) + (shaped ? varint_size(shape_code) : 0);
    const std::size_t record = heads + key.size();
    // One byte more than the record: an empty ASCII key's shape byte lies
    // past it.
    if (capacity_ - size_ < record + 1) {
        grow(record + 1);
    }
    // Each line is asked for a few records before it is written, as the
    // entry table does for its arrays (see there).
    __builtin_prefetch(bytes_.get() + size_ + 1024, 1);
    unsigned char* out = bytes_.get() + size_;
    if (short_record) [[likely]] {
        out[0] = static_cast<unsigned char>(head);
        out[1] = static_cast<unsigned char>(shape_code);
        out += heads;
    } else {
        out = write_varint(out, head);
        if (shaped) {
            out = write_varint(out, shape_code);
        }
    }
    if (masked_copy_) {
        copy_key_masked(out, key.data(), key.size());
    } else {
        copy_key(out, key.data(), key.size());
    }
    const std::uint64_t offset = size_;
    size_ += record;
    ++records_;
    return offset;
}

void KeyBuffer::grow(std::size_t extra) {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / 2;
    if (size_ > limit || extra > limit - size_) {
        storage_fault("capacity overflow: key buffer of " + std::to_string(size_) + " + " + std::to_string(extra) +
                      " bytes");
    }
    // Doubling keeps appends amortised O(1) whatever the keys are like.
    std::size_t capacity = std::max({size_ + extra, capacity_ * 2, min_capacity});
    if (records_ >= min_sample && expected_records_ > records_) {
        // Room for the expected keys at the average size so far, an eighth to
        // spare. The cap bounds what a sample of unusually long first keys can
        // reserve; beyond it growth falls back to doubling.
        const double average = static_cast<double>(size_) / static_cast<double>(records_);
        const double estimate = average * static_cast<double>(expected_records_) * 1.125 + static_cast<double>(extra);
        const double cap = static_cast<double>(max_reserved_per_record) * static_cast<double>(expected_records_);
        if (estimate <= cap && estimate > static_cast<double>(capacity)) {
            capacity = static_cast<std::size_t>(estimate);
        }
    }
    // The block stays owned until the move succeeds: a failed one keeps it.
    void* moved = raw_reallocate(bytes_.get(), capacity);
    (void)bytes_.release();
    bytes_.reset(static_cast<unsigned char*>(moved));
    capacity_ = capacity;
}

void KeyBuffer::shrink_to_fit() {
    if (size_ == capacity_) {
        return;
    }
    if (size_ == 0) {
        bytes_.reset();
    } else {
        void* moved = raw_reallocate(bytes_.get(), size_);
        (void)bytes_.release();
        bytes_.reset(static_cast<unsigned char*>(moved));
    }
    capacity_ = size_;
}

}  // namespace quorvex
