#include "quordict/dict_read_ahead.hpp"

#include "binding/refs.hpp"
#include "quordict/checked_once.hpp"

namespace quorvex {
namespace {

// The head of the interpreter's keys object, as laid out above.
struct KeysHeader {
    Py_ssize_t refcnt;
    std::uint8_t log2_slots;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t used_entries;
};

constexpr std::uint8_t str_kind = 1;  // entries { key, value }; 0 is { hash, key, value }

// Where `dict`'s entries lie and how many it has used: none where the table
// is split or its head is not one this layout can hold.
struct EntryPlace {
    const unsigned char* first = nullptr;
    std::size_t stride = 0;
    std::size_t key_offset = 0;
    Py_ssize_t count = 0;
};

// The layout is read only where the reader is used.
#if PY_VERSION_HEX < 0x030D0000
EntryPlace entries_of(PyObject* dict) noexcept {
    const auto* object = reinterpret_cast<const PyDictObject*>(dict);
    if (object->ma_values != nullptr) {
        return {};
    }
    const auto* keys = reinterpret_cast<const unsigned char*>(object->ma_keys);
    KeysHeader header;
    std::memcpy(&header, keys, sizeof header);
    // A table holds at most two thirds as many entries as it has slots, and
    // a slot index takes one to eight bytes: a head outside those bounds is
    // not this layout, and nothing past it is read.
    const unsigned index_width = header.log2_index_bytes - header.log2_slots;
    if (header.kind > str_kind || header.log2_slots < 3 || header.log2_slots > 40 ||
        header.log2_index_bytes < header.log2_slots || index_width > 3 || header.used_entries < 0 ||
        header.used_entries > (Py_ssize_t{2} << header.log2_slots) / 3) {
        return {};
    }
    const bool str_keys = header.kind == str_kind;
    return {keys + sizeof header + (std::size_t{1} << header.log2_index_bytes), (str_keys ? 2 : 3) * sizeof(void*),
            str_keys ? 0 : sizeof(void*), header.used_entries};
}
#else
EntryPlace entries_of(PyObject*) noexcept {
    return {};
}
#endif

PyObject* key_at(const EntryPlace& entries, Py_ssize_t entry) noexcept {
    PyObject* key;
    std::memcpy(&key, entries.first + static_cast<std::size_t>(entry) * entries.stride + entries.key_offset,
                sizeof key);
    return key;
}

// Whether entries_of finds exactly the keys put into dicts of each entry
// form, with one- and two-byte slot indices.
Result<bool> agrees_with_interpreter() {
    constexpr Py_ssize_t most = 200;
    for (const bool str_keys : {true, false}) {
        for (const Py_ssize_t count : {Py_ssize_t{5}, most}) {
            OwnedRef dict = OwnedRef::steal(PyDict_New());
            if (!dict) {
                return PyErr::fetch();
            }
            OwnedRef keys[most];
            for (Py_ssize_t i = 0; i < count; ++i) {
                keys[i] = OwnedRef::steal(str_keys ? PyUnicode_FromFormat("key %zd", i) : PyLong_FromSsize_t(i << 20));
                if (!keys[i] || PyDict_SetItem(dict.get(), keys[i].get(), Py_None) < 0) {
                    return PyErr::fetch();
                }
            }
            const EntryPlace entries = entries_of(dict.get());
            if (entries.count != count) {
                return false;
            }
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (key_at(entries, i) != keys[i].get()) {
                    return false;
                }
            }
        }
    }
    return true;
}

CheckedOnce layout_agrees;

}  // namespace

Result<DictReadAhead> DictReadAhead::for_this_interpreter() {
    if (!walk_waits_on_keys) {
        return DictReadAhead(false);
    }
    Result<bool> agrees = layout_agrees.answer(agrees_with_interpreter);
    if (!agrees.ok()) {
        return agrees.take_error();
    }
    return DictReadAhead(agrees.value());
}

DictReadAhead::Keys DictReadAhead::keys_of(PyObject* dict) const noexcept {
    Keys keys;
    if (enabled_) {
        const EntryPlace entries = entries_of(dict);
        keys.first_ = entries.first;
        keys.stride_ = entries.stride;
        keys.key_offset_ = entries.key_offset;
        keys.count_ = entries.count;
    }
    return keys;
}

}  // namespace quorvex
