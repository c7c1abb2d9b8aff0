#include "quordict/conversion.hpp"

#include <cstring>

#include "binding/conversions.hpp"
#include "binding/panic.hpp"
#include "quordict/instance.hpp"
#include "storage/entry_table.hpp"
#include "storage/key_index.hpp"

namespace quorvex {
namespace {

// Entries are taken from the dict this many at a time, so that the cache
// misses of one batch (key and value objects, then slots) overlap.
constexpr std::size_t fetch_batch = 16;

struct Fetched {
    PyObject* key;      // borrowed
    PyObject* value;    // borrowed
    Py_ssize_t cursor;  // the walk's cursor just after this entry
};

// A str whose text is its own ASCII bytes, readable without conversion.
bool is_compact_ascii(PyObject* key) {
    return PyUnicode_Check(key) && PyUnicode_IS_COMPACT_ASCII(key);
}

// Values whose conversion to float runs no Python code, so the dict cannot
// change while they are converted.
bool converts_without_python_code(PyObject* value) {
    return Py_IS_TYPE(value, &PyFloat_Type) || Py_IS_TYPE(value, &PyLong_Type) || Py_IS_TYPE(value, &PyBool_Type);
}

// The table has room for the dict's size at the start. A conversion that
// swaps keys can make the walk yield one entry more (a new key, then the next
// step's check panics), and such a key finds the table full. Dropping it
// changes nothing: the walk can only end in that panic or in an earlier error.
void insert_or_drop(EntryTable& table, std::string_view text, std::uint64_t hash, double value) {
    (void)table.insert_hashed(text, hash, value);
}

// Converts one entry in full, in the order key text then value. `text` and
// `hash` are used when `hashed` (a compact ASCII key hashed ahead).
Status add_entry(EntryTable& table, const Fetched& entry, bool hashed, std::string_view text, std::uint64_t hash) {
    if (hashed && Py_IS_TYPE(entry.value, &PyFloat_Type)) {
        insert_or_drop(table, text, hash, PyFloat_AS_DOUBLE(entry.value));
        return success();
    }
    // The value's __float__ may change the dict and free this very entry:
    // hold both objects while they are used.
    const OwnedRef key = OwnedRef::borrow(entry.key);
    const OwnedRef value = OwnedRef::borrow(entry.value);
    if (!hashed) {
        if (!PyUnicode_Check(key.get())) {
            return cast_error(key.get(), "str");
        }
        Py_ssize_t key_size = 0;
        const char* key_text = PyUnicode_AsUTF8AndSize(key.get(), &key_size);
        if (key_text == nullptr) {
            return PyErr::fetch();
        }
        text = std::string_view(key_text, static_cast<std::size_t>(key_size));
        hash = table.hash(text);
    }
    Result<double> number = extract_float(value.get());
    if (!number.ok()) {
        return number.take_error();
    }
    insert_or_drop(table, text, hash, number.value());
    return success();
}

OwnedRef ascii_text(std::string_view key) {
    OwnedRef text = expect_object(PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127));
    if (!key.empty()) {
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), key.data(), key.size());
    }
    return text;
}

bool is_ascii(std::string_view key) {
    unsigned char bits = 0;
    for (const char c : key) {
        bits |= static_cast<unsigned char>(c);
    }
    return bits < 0x80;
}

}  // namespace

Result<OwnedRef> construct_from_dict(PyTypeObject* type, PyObject* dict) {
    // Held for the whole walk: a conversion below may run Python code that
    // drops the caller's last reference to the dict.
    const OwnedRef held_dict = OwnedRef::borrow(dict);
    const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
    EntryTable table(static_cast<std::size_t>(start_size));

    Fetched fetched[fetch_batch];
    std::string_view texts[fetch_batch];
    std::uint64_t hashes[fetch_batch];
    bool hashed[fetch_batch];
    Py_ssize_t cursor = 0;
    Py_ssize_t yielded = 0;
    bool at_end = false;
    while (!at_end) {
        // The dict's storage is walked directly, so each step first checks
        // that it is still the same. Fetching ahead is safe because nothing
        // can change the dict until a conversion runs Python code, and after
        // such a conversion the walk resumes from that entry's cursor.
        // A failed check ends the walk only once the entries fetched before it
        // are converted, since their errors come first.
        std::size_t count = 0;
        Py_ssize_t next = cursor;
        const char* changed = nullptr;
        while (count < fetch_batch) {
            if (PyDict_GET_SIZE(dict) != start_size) {
                changed = "dictionary changed size during iteration";
                break;
            }
            if (yielded + static_cast<Py_ssize_t>(count) > start_size) {
                changed = "dictionary keys changed during iteration";
                break;
            }
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            if (!PyDict_Next(dict, &next, &key, &value)) {
                at_end = true;
                break;
            }
            __builtin_prefetch(key);
            __builtin_prefetch(value);
            fetched[count++] = {key, value, next};
        }
        // Compact ASCII keys are their own text and need no conversion that
        // could fail, so they are hashed ahead and their slots prefetched.
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* key = fetched[i].key;
            hashed[i] = is_compact_ascii(key);
            if (hashed[i]) {
                texts[i] = std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
                hashes[i] = table.hash(texts[i]);
                table.prefetch(hashes[i]);
            }
        }
        std::size_t done = 0;
        bool must_refetch = false;
        while (done < count && !must_refetch) {
            const Fetched& entry = fetched[done];
            // Python code run by this conversion may change the dict, making
            // the entries fetched after this one stale: the walk fetches again
            // from this entry's cursor.
            must_refetch = !converts_without_python_code(entry.value);
            if (Status added = add_entry(table, entry, hashed[done], texts[done], hashes[done]); !added.ok()) {
                return added.take_error();
            }
            ++done;
        }
        yielded += static_cast<Py_ssize_t>(done);
        if (must_refetch) {
            at_end = false;
            cursor = fetched[done - 1].cursor;
        } else if (changed != nullptr) {
            panic(changed);
        } else {
            cursor = next;
        }
    }
    Storage storage = build_storage(std::move(table));
    return new_instance(type, std::move(storage.keys), std::move(storage.values));
}

Result<OwnedRef> build_dict(const QuorDictObject* instance) {
    // The index's keys are distinct, so they go straight into the dict in
    // position order; no intermediate table is needed to deduplicate them.
    const KeyIndex& keys = keys_of(instance);
    const ValueArray& values = values_of(instance);
    const bool all_ascii = keys.all_ascii();
    OwnedRef dict = expect_object(PyDict_New());
    std::optional<PyErr> failure;
    keys.for_each([&](std::string_view key, std::uint64_t position) {
        if (failure) {
            return;
        }
        // For ASCII text the UTF-8 decoder is pure overhead: the bytes are the
        // string's one-byte representation as they are.
        OwnedRef text =
            all_ascii || is_ascii(key)
                ? ascii_text(key)
                : expect_object(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        OwnedRef number = float_result(values.at(static_cast<std::size_t>(position)));
        if (PyDict_SetItem(dict.get(), text.get(), number.get()) < 0) {
            failure = PyErr::fetch();
        }
    });
    if (failure) {
        return std::move(*failure);
    }
    return dict;
}

}  // namespace quorvex
