// The key texts of a table, packed into one growable byte buffer.
//
// Layout: a raw block of records, each
//     [ head: LEB128 varint of key length × 2 + shaped ][ shape, if shaped ][ key bytes ]
// appended back to back; a key is named by the offset of its record. A key
// with a byte >= 0x80 is shaped: its record also holds the shape of its UTF-8
// text, a varint of character count × 4 + CharWidth, so that turning it back
// into characters needs no pass to measure it. An ASCII key is its own shape.
// Keys of up to 63 bytes cost one head byte (non-ASCII keys of up to 31
// characters one more), so a per-key length array (8 bytes a key) is not
// needed, and no key gets its own heap allocation.
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
#include "storage/utf8.hpp"

namespace quorvex {

class KeyBuffer {
public:
    KeyBuffer() noexcept = default;
    // A buffer that expects about `expected_records` appends.
    explicit KeyBuffer(std::size_t expected_records) noexcept;
    KeyBuffer(KeyBuffer&& other) noexcept;
    KeyBuffer& operator=(KeyBuffer&& other) noexcept;
    KeyBuffer(const KeyBuffer&) = delete;
    KeyBuffer& operator=(const KeyBuffer&) = delete;

    // Stores a copy of `key` (which must not point into this buffer) and
    // returns its record's offset. `shape` must be utf8_shape(key), which the
    // caller often knows without reading the key; only a key with a byte >=
    // 0x80 (a width other than ASCII) stores it.
    std::uint64_t append(std::string_view key, DecodedShape shape);

    // A key with the shape of its text.
    struct ShapedKey {
        std::string_view text;
        DecodedShape shape;
    };

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
    //
    // Each read asks for the line a kibibyte ahead. Such a caller does its
    // own loads between reads (lookups in another table, new objects) that
    // keep the core's miss buffers busy; the processor's stream prefetch
    // then falls behind, and each record's head, which the next record's
    // address depends on, would wait for its line.
    class Reader {
    public:
        explicit Reader(const KeyBuffer& buffer) noexcept : at_(buffer.bytes_.get()) {}
        std::string_view next() noexcept {
            read_ahead();
            return read_record(at_);
        }
        ShapedKey next_shaped() noexcept {
            read_ahead();
            return read_shaped_record(at_);
        }

    private:
        static constexpr std::uintptr_t ahead_bytes = 1024;

        // The address is formed as an integer: near the end it lies past the
        // block, where a prefetch is harmless but a pointer may not point.
        void read_ahead() const noexcept {
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at_) + ahead_bytes));
        }

        const unsigned char* at_;
    };

    // The records back to back. Equal key sequences give equal bytes, since a
    // record's encoding depends on its key alone.
    std::string_view records() const noexcept { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }

    // Gives back the unused tail of the block.
    void shrink_to_fit();

    std::size_t size_bytes() const noexcept { return size_; }
    std::size_t capacity_bytes() const noexcept { return capacity_; }

private:
    void grow(std::size_t extra);

    // Reads a varint at `at` and moves `at` past it.
    static std::uint64_t read_varint(const unsigned char*& at) noexcept {
        std::uint64_t value = *at++;
        if (value >= 0x80) [[unlikely]] {
            value &= 0x7F;
            for (unsigned shift = 7;; shift += 7) {
                const std::uint64_t byte = *at++;
                value |= (byte & 0x7F) << shift;
                if (byte < 0x80) {
                    break;
                }
            }
        }
        return value;
    }

    // Decodes the record at `at` and moves `at` past it.
    static ShapedKey read_shaped_record(const unsigned char*& at) noexcept {
        const std::uint64_t head = read_varint(at);
        const auto length = static_cast<std::size_t>(head >> 1);
        DecodedShape shape{length, CharWidth::ascii};
        if ((head & 1) != 0) {
            const std::uint64_t code = read_varint(at);
            shape = {static_cast<std::size_t>(code >> 2), static_cast<CharWidth>(code & 3)};
        }
        const std::string_view key(reinterpret_cast<const char*>(at), length);
        at += length;
        return {key, shape};
    }

    static std::string_view read_record(const unsigned char*& at) noexcept { return read_shaped_record(at).text; }

    RawArray<unsigned char> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t records_ = 0;
    std::size_t expected_records_ = 0;
    bool masked_copy_ = false;  // keys are copied with AVX-512 masked moves
};

}  // namespace quorvex
