// The key texts of a table, packed into one growable byte buffer.
//
// Layout: a raw block of records, each
//     [ key length as LEB128 varint ][ key bytes ]
// appended back to back; a key is named by the offset of its record. Keys of
// up to 127 bytes cost one length byte, so a per-key length array (8 bytes a
// key) is not needed, and no key gets its own heap allocation.
//
// The buffer grows while a table is filled (the total key length is not known
// up front) and can be trimmed once it is complete. Told how many keys to
// expect, it sizes each growth from the average record so far, so a big table
// is copied by realloc about twice instead of at every doubling. Growing may
// move the block, so views from key_at are valid only until the next append
// or shrink_to_fit. Offsets stay valid for the buffer's lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/raw_memory.hpp"

namespace quorvex {

class KeyBuffer {
public:
    KeyBuffer() noexcept = default;
    // A buffer that expects about `expected_records` appends.
    explicit KeyBuffer(std::size_t expected_records) noexcept : expected_records_(expected_records) {}
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
        return read_record(at);
    }

    // Calls f(std::string_view key) for every record, in the order they were
    // appended: one sequential pass over the block.
    template <class F>
    void for_each(F&& f) const {
        const unsigned char* at = bytes_.get();
        const unsigned char* const end = at + size_;
        while (at != end) {
            f(read_record(at));
        }
    }

    // Reads the records front to back, one per next(), for a caller that
    // pulls keys at its own pace. It must not read past the last record.
    class Reader {
    public:
        explicit Reader(const KeyBuffer& buffer) noexcept : at_(buffer.bytes_.get()) {}
        std::string_view next() noexcept { return read_record(at_); }

    private:
        const unsigned char* at_;
    };

    // True while no stored key has a byte >= 0x80; for UTF-8 texts, while
    // every key is ASCII.
    bool all_ascii() const noexcept { return (high_bits_ & 0x80) == 0; }

    // The records back to back. Equal key sequences give equal bytes, since a
    // record's encoding depends on its key alone.
    std::string_view records() const noexcept { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }

    // Gives back the unused tail of the block.
    void shrink_to_fit();

    std::size_t size_bytes() const noexcept { return size_; }
    std::size_t capacity_bytes() const noexcept { return capacity_; }

private:
    void grow(std::size_t extra);

    // Decodes the record at `at` and moves `at` past it.
    static std::string_view read_record(const unsigned char*& at) noexcept {
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
        const std::string_view key(reinterpret_cast<const char*>(at), static_cast<std::size_t>(length));
        at += length;
        return key;
    }

    RawArray<unsigned char> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t records_ = 0;
    std::size_t expected_records_ = 0;
    unsigned char high_bits_ = 0;  // bit 7 set once any key byte has it
};

}  // namespace quorvex
