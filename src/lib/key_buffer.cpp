#include "lib/key_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "binding/panic.hpp"

namespace quorvex {

namespace {

constexpr std::size_t min_capacity = 256;

std::size_t varint_size(std::uint64_t value) noexcept {
    std::size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

}  // namespace

KeyBuffer::KeyBuffer(KeyBuffer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

KeyBuffer& KeyBuffer::operator=(KeyBuffer&& other) noexcept {
    if (this != &other) {
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

std::uint64_t KeyBuffer::append(std::string_view key) {
    std::uint64_t length = key.size();
    const std::size_t record = varint_size(length) + key.size();
    if (capacity_ - size_ < record) {
        grow(record);
    }
    unsigned char* out = bytes_.get() + size_;
    while (length >= 0x80) {
        *out++ = static_cast<unsigned char>((length & 0x7F) | 0x80);
        length >>= 7;
    }
    *out++ = static_cast<unsigned char>(length);
    if (!key.empty()) {
        std::memcpy(out, key.data(), key.size());
    }
    const std::uint64_t offset = size_;
    size_ += record;
    return offset;
}

void KeyBuffer::grow(std::size_t extra) {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / 2;
    if (size_ > limit || extra > limit - size_) {
        panic("capacity overflow: key buffer of " + std::to_string(size_) + " + " +
              std::to_string(extra) + " bytes");
    }
    // Doubling keeps appends amortised O(1); realloc can often extend in place.
    const std::size_t capacity = std::max({size_ + extra, capacity_ * 2, min_capacity});
    bytes_.reset(static_cast<unsigned char*>(raw_reallocate(bytes_.release(), capacity)));
    capacity_ = capacity;
}

void KeyBuffer::shrink_to_fit() {
    if (size_ == capacity_) {
        return;
    }
    if (size_ == 0) {
        bytes_.reset();
    } else {
        bytes_.reset(static_cast<unsigned char*>(raw_reallocate(bytes_.release(), size_)));
    }
    capacity_ = size_;
}

}  // namespace quorvex
