// Asks for the key objects a walk over a dict will reach, before the walk
// reaches them.
//
// PyDict_Next loads each key's cached hash from the key object itself. Where
// the keys lie scattered in memory (the keys of any dict that a program built
// up over time) every step of the walk waits for that cache miss, and the walk
// is about two fifths of a construction from such a dict. No public call
// gives a later entry's key without that load, so the reader takes the keys
// from the dict's entry table directly. It only prefetches them: the objects
// are never read through these pointers, and a wrong address wastes a
// prefetch but cannot fault.
//
// From 3.13 the walk yields a key without waiting for it (a construction
// from 10^6 scattered keys: 75 ms on 3.13.0, 88 ms on 3.11), and reading
// ahead there made it 3.5 to 5 % slower, so the reader is used before 3.13.
//
// The entry table is laid out by the interpreter (3.11 and 3.12) as
//     keys object: [ refcnt | log2 slots | log2 index bytes | kind | version
//                    | usable | entries used | slot indices | entries ]
//     entry: { key, value } when every key is a str, { hash, key, value }
//            otherwise; a split table (an instance's attributes) keeps its
//            values apart and is not read.
// Before its first use the reader checks that layout against dicts whose
// keys it knows, of both entry forms and of one- and two-byte slot indices;
// where anything differs it reads nothing, and the walk waits as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "binding/error.hpp"
#include "binding/python.hpp"

namespace quorvex {

class DictReadAhead {
public:
    // Whether the interpreter's walk waits on each key it yields (before 3.13).
    static constexpr bool walk_waits_on_keys = PY_VERSION_HEX < 0x030D0000;

    // One dict's keys as its entry table holds them; valid while the dict
    // does not change.
    class Keys {
    public:
        // Asks for the first two lines of the key of entry `entry`, if the
        // dict has that entry: the head PyDict_Next reads and, for most
        // keys, the rest of the characters. Inlined by force: to the
        // compiler a prefetch has no effect, so a call left out of line is a
        // call to a function without effects, and it deletes the call.
        [[gnu::always_inline]] void prefetch(Py_ssize_t entry) const noexcept {
            if (!walk_waits_on_keys || entry >= count_) {
                return;
            }
            // A deleted entry's key is null or stale: asking for it costs
            // nothing. The addresses are formed as integers, as they may lie
            // past an object or start from null.
            std::uintptr_t key;
            std::memcpy(&key, first_ + static_cast<std::size_t>(entry) * stride_ + key_offset_, sizeof key);
            __builtin_prefetch(reinterpret_cast<const void*>(key));
            __builtin_prefetch(reinterpret_cast<const void*>(key + 64));
        }

    private:
        friend class DictReadAhead;

        const unsigned char* first_ = nullptr;
        std::size_t stride_ = 0;
        std::size_t key_offset_ = 0;
        Py_ssize_t count_ = 0;  // 0 where nothing is read
    };

    // The reader for this interpreter; the first call runs the check above,
    // which fails only for want of memory.
    static Result<DictReadAhead> for_this_interpreter();

    // Whether the reader is used: before 3.13, where this interpreter's
    // dicts are laid out as checked.
    bool reads() const noexcept { return enabled_; }

    // `dict`'s keys, or none where the reader is off or cannot read this
    // dict's table.
    Keys keys_of(PyObject* dict) const noexcept;

private:
    explicit DictReadAhead(bool enabled) noexcept : enabled_(enabled) {}

    bool enabled_;
};

}  // namespace quorvex
