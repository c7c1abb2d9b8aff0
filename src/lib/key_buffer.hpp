// The key texts of a table, packed into one growable byte buffer.
//
// Layout: a raw block of records, each
//     [ key length as LEB128 varint ][ key bytes ]
// appended back to back; a key is named by the offset of its record. Keys of
// up to 127 bytes cost one length byte, so a per-key length array (8 bytes a
// key) is not needed, and no key gets its own heap allocation.
//
// The buffer grows geometrically while a table is filled (the total key length
// is not known up front) and can be trimmed once it is complete. Growing may
// move the block, so views from key_at are valid only until the next append
// or shrink_to_fit. Offsets stay valid for the buffer's lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lib/raw_memory.hpp"

namespace quorvex {

class KeyBuffer {
public:
    KeyBuffer() noexcept = default;
    KeyBuffer(KeyBuffer&& other) noexcept;
    KeyBuffer& operator=(KeyBuffer&& other) noexcept;
    KeyBuffer(const KeyBuffer&) = delete;
    KeyBuffer& operator=(const KeyBuffer&) = delete;

    // Stores a copy of `key` (which must not point into this buffer) and
    // returns its record's offset.
    std::uint64_t append(std::string_view key);

    // The key whose record starts at `offset` (an offset append returned).
    std::string_view key_at(std::uint64_t offset) const noexcept {
        const unsigned char* at = bytes_.get() + offset;
        std::uint64_t length = *at++;
        if (length >= 0x80) [[unlikely]] {
            length &= 0x7F;
            for (unsigned shift = 7;; shift += 7) {
                const std::uint64_t byte = *at++;
                length |= (byte & 0x7F) << shift;
                if (byte < 0x80) {
                    break;
                }
            }
        }
        return {reinterpret_cast<const char*>(at), static_cast<std::size_t>(length)};
    }

    // Gives back the unused tail of the block.
    void shrink_to_fit();

    std::size_t size_bytes() const noexcept { return size_; }
    std::size_t capacity_bytes() const noexcept { return capacity_; }

private:
    void grow(std::size_t extra);

    RawArray<unsigned char> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvex
