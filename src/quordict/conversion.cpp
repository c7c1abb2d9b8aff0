#include "quordict/conversion.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "binding/conversions.hpp"
#include "binding/panic.hpp"
#include "quordict/dict_read_ahead.hpp"
#include "quordict/instance.hpp"
#include "quordict/str_hashes.hpp"
#include "storage/cpu_features.hpp"
#include "storage/entry_table.hpp"
#include "storage/key_index.hpp"
#include "storage/raw_memory.hpp"
#include "storage/utf8.hpp"

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

// Values whose conversion to float runs no Python code, so the dict cannot
// change while they are converted: a float of any type (the interpreter reads
// a float subclass's value without calling its __float__; numpy's float64 is
// one), an exact int and a bool.
bool converts_without_python_code(PyObject* value) {
    return PyFloat_Check(value) || Py_IS_TYPE(value, &PyLong_Type) || Py_IS_TYPE(value, &PyBool_Type);
}

// Up to fetch_batch entries fetched from the walk, and what ended the batch.
struct Batch {
    Fetched entries[fetch_batch];
    std::size_t count;
    Py_ssize_t next;           // the walk's cursor after the last entry fetched
    const char* changed;       // the panic message when the dict was seen to change
    bool at_end;               // the walk found no further entry
    bool ends_in_python_code;  // the last entry's value may convert by Python code
};

// Fetches entries from `cursor` on, `yielded` of them having been yielded
// before. The dict's storage is walked directly, so each step first checks
// that it is still the same. Fetching ahead is safe because nothing can
// change the dict until a conversion runs Python code, and after such a
// conversion the walk fetches again from that entry's cursor; a batch ends
// with such an entry, so that no entry after it is fetched and hashed only to
// be fetched again. A failed check ends the walk only once the entries
// fetched before it are converted, since their errors come first.
// `wide_keys` says that the keys met last were not all ASCII (see below).
void fetch(PyObject* dict, Py_ssize_t start_size, Py_ssize_t cursor, Py_ssize_t yielded, Batch& batch, bool wide_keys) {
    batch.count = 0;
    batch.next = cursor;
    batch.changed = nullptr;
    batch.at_end = false;
    batch.ends_in_python_code = false;
    while (batch.count < fetch_batch && !batch.ends_in_python_code) {
        if (PyDict_GET_SIZE(dict) != start_size) {
            batch.changed = "dictionary changed size during iteration";
            return;
        }
        if (yielded + static_cast<Py_ssize_t>(batch.count) > start_size) {
            batch.changed = "dictionary keys changed during iteration";
            return;
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(dict, &batch.next, &key, &value)) {
            batch.at_end = true;
            return;
        }
        // A str's characters follow its header, and reach into the next
        // cache line; both lines are read before the key is hashed. A
        // non-ASCII key, with its longer header and up to four bytes a
        // character, often reaches a third line, asked for while such keys
        // are met: for an ASCII key that line is another object's, and
        // asking for it costs where keys lie scattered in memory. The
        // lines asked for ahead are asked for again here: where keys lie in
        // the order they were made, this is where the processor's own
        // prefetching left them, and a walk without it is slower.
        // Prefetching past an object's end never faults.
        __builtin_prefetch(key);
        __builtin_prefetch(reinterpret_cast<const char*>(key) + 64);
        if (wide_keys) {
            __builtin_prefetch(reinterpret_cast<const char*>(key) + 128);
        }
        __builtin_prefetch(value);
        batch.entries[batch.count++] = {key, value, batch.next};
        batch.ends_in_python_code = !converts_without_python_code(value);
    }
}

// Asks for the keys of the entries the walk will fetch next, so that
// PyDict_Next finds them loaded (see DictReadAhead). Keys that lie scattered
// in memory lie on pages the processor has not mapped lately, and a request
// for such a key can hold up the instructions after it until its page is
// looked up. Asked for a batch at a time, in the walk, the keys held up the
// walk; asked for one at a time between the steps of converting the batch
// before, their lookups overlap that work (construction from 10^6 scattered,
// mostly non-ASCII keys: 79 -> 71 ms; keys that lie in the order they were
// made gain nothing and lose about 2 %).
class KeysAhead {
public:
    explicit KeysAhead(const DictReadAhead& reader) noexcept : reader_(reader) {}

    // Entries [from, to) are to be asked for, from the dict as it is now:
    // nothing may change it until they are, or until ask_rest.
    void plan(PyObject* dict, Py_ssize_t from, Py_ssize_t to) noexcept {
        keys_ = reader_.keys_of(dict);
        next_ = std::max(next_, from);
        end_ = to;
    }

    // Asks for the next planned entry's key, if one is left.
    void ask_one() noexcept {
        if (next_ < end_) {
            keys_.prefetch(next_++);
        }
    }

    void ask_rest() noexcept {
        while (next_ < end_) {
            keys_.prefetch(next_++);
        }
    }

private:
    const DictReadAhead& reader_;
    DictReadAhead::Keys keys_;
    Py_ssize_t next_ = 0;
    Py_ssize_t end_ = 0;
};

// A key's UTF-8 text with its hash and shape, as the table stores it.
struct KeyText {
    std::string_view text;
    std::uint64_t hash;
    DecodedShape shape;
};

// A str whose characters are in place, readable through PyUnicode_DATA.
// Before 3.12 a str made by the deprecated wide-character API may not be yet,
// and only the interpreter's own conversion readies it.
bool has_canonical_data(PyObject* key) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(key) != 0;
#else
    (void)key;
    return true;
#endif
}

// Room encode_utf8_of needs for a str's text (its kind is its character size).
std::size_t utf8_room(PyObject* key) {
    return utf8_lead_room + utf8_bound(static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)), PyUnicode_KIND(key));
}

// Writes the UTF-8 form of a str into `room` (utf8_room(key) bytes), and
// gives where it starts, its size (or no_utf8 when the str holds a
// surrogate) and the width of its characters. The width is taken from the
// characters, not from the str's kind: a str made with a larger maximum than
// its characters need is legal, and a key handed back in that kind would not
// be the canonical str equal to it. `vector` selects the AVX2 encoder, which
// reads up to seven characters ahead of the text: in a compact str that is
// its own header, while any other str keeps its characters in a block of
// their own, which the scalar encoder reads instead.
struct EncodedKey {
    const char* text;
    EncodedText encoded;
};

template <class Char>
EncodedKey encode_chars(const Char* chars, std::size_t length, char* room, bool backward) {
    char* out = room + utf8_lead_room;
    if (backward) {
        return {out, encode_utf8_backward(chars, length, out)};
    }
    return {out, {encode_utf8(chars, length, out), width_of_chars(chars, length)}};
}

EncodedKey encode_utf8_of(PyObject* key, char* room, bool vector) {
    const void* data = PyUnicode_DATA(key);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    const bool backward = vector && PyUnicode_IS_COMPACT(key);
    switch (PyUnicode_KIND(key)) {
        case PyUnicode_1BYTE_KIND: return encode_chars(static_cast<const Py_UCS1*>(data), length, room, backward);
        case PyUnicode_2BYTE_KIND: return encode_chars(static_cast<const Py_UCS2*>(data), length, room, backward);
        default: return encode_chars(static_cast<const Py_UCS4*>(data), length, room, backward);
    }
}

// encode_utf8_of with the AVX-512 encoder, for a str of `Char`s.
template <class Char>
EncodedKey encode_utf8_compressed(PyObject* key, char* room) {
    char* out = room + utf8_lead_room;
    return {out, encode_utf8_compress(static_cast<const Char*>(PyUnicode_DATA(key)),
                                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)), out)};
}

// Room for the UTF-8 texts of one batch of keys. The interpreter would cache
// each non-ASCII key's UTF-8 form inside the caller's str for as long as the
// str lives; encoding into this buffer instead leaves the caller's keys as
// they were, and the buffer is reused from batch to batch.
class BatchText {
public:
    // A buffer of at least `bytes` bytes; earlier contents are not kept.
    char* reserve(std::size_t bytes) {
        if (bytes > capacity_) {
            const std::size_t capacity = bytes > 2 * capacity_ ? bytes : 2 * capacity_;
            bytes_.reset(static_cast<char*>(raw_allocate(capacity)));
            capacity_ = capacity;
        }
        return bytes_.get();
    }

private:
    RawArray<char> bytes_;
    std::size_t capacity_ = 0;
};

// The table has room for the dict's size at the start. A conversion that
// swaps keys can make the walk yield one entry more (a new key, then the next
// step's check panics), and such a key finds the table full. Dropping it
// changes nothing: the walk can only end in that panic or in an earlier error.
// `absent` says the key cannot be in the table yet (see keys_distinct below).
void insert_or_drop(EntryTable& table, const KeyText& key, double value, bool absent) {
    (void)(absent ? table.insert_absent(key.text, key.hash, key.shape, value)
                  : table.insert_hashed(key.text, key.hash, key.shape, value));
}

// Converts one entry in full, in the order key text then value. `key` is used
// when `hashed` (a key whose text was read and hashed ahead).
Status add_entry(EntryTable& table, const Fetched& entry, bool hashed, KeyText key_text, bool absent) {
    if (hashed && PyFloat_Check(entry.value)) {
        insert_or_drop(table, key_text, PyFloat_AS_DOUBLE(entry.value), absent);
        return success();
    }
    if (hashed && converts_without_python_code(entry.value)) {
        // Nothing can change the dict while an int or a bool converts, so the
        // borrowed objects need no references of their own.
        Result<double> number = extract_float(entry.value);
        if (!number.ok()) {
            return number.take_error();
        }
        insert_or_drop(table, key_text, number.value(), absent);
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
        const char* key_text_bytes = PyUnicode_AsUTF8AndSize(key.get(), &key_size);
        if (key_text_bytes == nullptr) {
            return PyErr::fetch();
        }
        key_text.text = std::string_view(key_text_bytes, static_cast<std::size_t>(key_size));
        key_text.hash = table.hash(key_text.text);
        key_text.shape = utf8_shape(key_text.text);
    }
    Result<double> number = extract_float(value.get());
    if (!number.ok()) {
        return number.take_error();
    }
    insert_or_drop(table, key_text, number.value(), absent);
    return success();
}

// Whether keys convert to and from UTF-8 by the AVX-512 forms: where they
// are the faster and AVX-512 is not skipped.
bool compress_utf8() {
    return loops::widest() == loops::Width::avx512 && utf8_compress_pays();
}

// How build_dict turns stored UTF-8 keys into characters: with the AVX-512
// decoder when `compress` (where it is the faster), else with the AVX2 one
// when `vector`, which may read past a key up to the end of the index's key
// records.
struct KeyDecoder {
    bool vector;
    bool compress;
    const char* records_end;

    template <class Char>
    void decode(std::string_view key, std::size_t length, Char* out) const {
        if (compress) {
            decode_utf8_compress(key, length, out);
        } else if (vector) {
            decode_utf8_vector(key, length, out, records_end);
        } else {
            decode_utf8(key, length, out);
        }
    }
};

// A new exact str equal to the stored key, in the canonical form the
// interpreter would build: the kind its largest character needs, which the
// key's stored shape gives with its length.
PyObject* new_str(const KeyBuffer::ShapedKey& key, const KeyDecoder& decoder) {
    const DecodedShape shape = key.shape;
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), max_char_of(shape.width));
    if (text == nullptr) {
        return nullptr;
    }
    switch (shape.width) {
        case CharWidth::ascii:
            // The bytes are already the one-byte contents.
            std::memcpy(PyUnicode_1BYTE_DATA(text), key.text.data(), key.text.size());
            break;
        case CharWidth::latin1: decoder.decode(key.text, shape.length, PyUnicode_1BYTE_DATA(text)); break;
        case CharWidth::ucs2: decoder.decode(key.text, shape.length, PyUnicode_2BYTE_DATA(text)); break;
        case CharWidth::ucs4: decoder.decode(key.text, shape.length, PyUnicode_4BYTE_DATA(text)); break;
    }
    return text;
}

}  // namespace

Result<OwnedRef> construct_from_dict(PyTypeObject* type, PyObject* dict) {
    // Held for the whole walk: a conversion below may run Python code that
    // drops the caller's last reference to the dict.
    const OwnedRef held_dict = OwnedRef::borrow(dict);
    const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
    Result<DictReadAhead> read_ahead = DictReadAhead::for_this_interpreter();
    if (!read_ahead.ok()) {
        return read_ahead.take_error();
    }
    EntryTable table(static_cast<std::size_t>(start_size));

    Batch batches[2];
    Batch* current = &batches[0];
    Batch* ahead = &batches[1];
    KeyText texts[fetch_batch];
    bool hashed[fetch_batch];
    std::size_t encode_lists[3][fetch_batch];  // strs whose UTF-8 form is written to batch_text
    // A batch's texts are gathered with the entries they belong to, and
    // hashed together where the processor hashes several keys at a time.
    std::string_view hash_texts[fetch_batch];
    std::size_t hash_of[fetch_batch];
    BatchText batch_text;
    const bool vector_utf8 = loops::widest() != loops::Width::baseline;
    const bool vector_hash = loops::widest() == loops::Width::avx512;
    const bool compress = compress_utf8();
    // True while every key the walk has yielded is a distinct text, so a new
    // one need not be compared with those in the table. Exact str keys of one
    // dict are distinct, and so are their UTF-8 forms. It ends for good at a
    // key that is not an exact str (a subclass may equal another key of the
    // same text) and at a conversion that may run Python code (which may
    // rearrange the dict so that the walk yields a key again).
    bool keys_distinct = true;
    Py_ssize_t yielded = 0;
    bool wide_keys = false;  // the last batch held a key that is not compact ASCII
    // The first two batches' keys are asked for at once; while a batch is
    // converted, the walk having fetched the one after it, the keys of the
    // batch after that.
    KeysAhead keys_ahead(read_ahead.value());
    keys_ahead.plan(dict, 0, static_cast<Py_ssize_t>(2 * fetch_batch));
    keys_ahead.ask_rest();
    fetch(dict, start_size, 0, yielded, *current, wide_keys);
    for (;;) {
        // The next batch is fetched before this one is converted, so that its
        // objects load meanwhile. That is as safe as fetching it afterwards
        // while no conversion below runs Python code.
        Py_ssize_t walked = current->next;
        if (current->changed == nullptr && !current->at_end && !current->ends_in_python_code) {
            fetch(dict, start_size, current->next, yielded + static_cast<Py_ssize_t>(current->count), *ahead,
                  wide_keys);
            walked = ahead->next;
        }
        keys_ahead.plan(dict, walked, walked + static_cast<Py_ssize_t>(fetch_batch));
        const Fetched* fetched = current->entries;
        const std::size_t count = current->count;
        // Every key that converts without error is hashed ahead and its slots
        // prefetched: a compact ASCII key is its own text, any other str is
        // encoded here. A key that is not a str, or that holds a surrogate,
        // is left to add_entry, which raises its error in the walk's order.
        // Keys mix ASCII and other texts of every kind at random, so the keys
        // to encode and to hash are gathered into lists by index arithmetic
        // rather than picked out by a branch per key.
        std::size_t text_bytes = 0;
        std::size_t to_encode[3] = {0, 0, 0};
        std::size_t to_hash = 0;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* key = fetched[i].key;
            if (i % 4 == 0) {
                keys_ahead.ask_one();
            }
            hashed[i] = false;
            // The str's length and kind are read only once it is ready.
            if (!PyUnicode_Check(key) || !has_canonical_data(key)) {
                continue;
            }
            const bool ascii = PyUnicode_IS_COMPACT_ASCII(key) != 0;
            const bool encodes = !ascii;
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
            // Where a compact ASCII str keeps its characters; meaningless,
            // and unused, for any other.
            const char* ascii_text = reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(key) + 1);
            const std::string_view text(ascii_text, length);
            hashed[i] = ascii;
            texts[i].text = text;
            texts[i].shape = {length, CharWidth::ascii};
            hash_of[to_hash] = i;
            hash_texts[to_hash] = text;
            to_hash += ascii;
            // Listed by kind (1, 2 or 4 bytes a character: lists 0, 1, 2),
            // so that each kind's keys are encoded one after another.
            const unsigned kind = PyUnicode_KIND(key);
            const unsigned list = kind >> 1;
            encode_lists[list][to_encode[list]] = i;
            to_encode[list] += encodes;
            text_bytes += encodes ? utf8_room(key) : 0;
        }
        wide_keys = text_bytes != 0;
        char* room = text_bytes != 0 ? batch_text.reserve(text_bytes) : nullptr;
        // Each kind's keys in turn, so that the encoder called is the same
        // from key to key.
        const auto encode_listed = [&]<class Char>(const std::size_t* list, std::size_t listed) {
            for (std::size_t j = 0; j < listed; ++j) {
                const std::size_t i = list[j];
                PyObject* key = fetched[i].key;
                keys_ahead.ask_one();
                const EncodedKey encoded =
                    compress ? encode_utf8_compressed<Char>(key, room) : encode_utf8_of(key, room, vector_utf8);
                room += utf8_room(key);
                const bool ok = encoded.encoded.size != no_utf8;
                hashed[i] = ok;
                // The view is taken from the encoder's result: a load of it
                // from texts[i] would wait for the stores just made.
                const std::string_view text(encoded.text, ok ? encoded.encoded.size : 0);
                texts[i].text = text;
                texts[i].shape = {static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)), encoded.encoded.width};
                hash_of[to_hash] = i;
                hash_texts[to_hash] = text;
                to_hash += ok;
            }
        };
        encode_listed.operator()<Py_UCS1>(encode_lists[0], to_encode[0]);
        encode_listed.operator()<Py_UCS2>(encode_lists[1], to_encode[1]);
        encode_listed.operator()<Py_UCS4>(encode_lists[2], to_encode[2]);
        if (vector_hash) {
            std::uint64_t hashes[fetch_batch];
            table.hash_many(hash_texts, to_hash, hashes, true);
            for (std::size_t j = 0; j < to_hash; ++j) {
                texts[hash_of[j]].hash = hashes[j];
            }
        } else {
            for (std::size_t j = 0; j < to_hash; ++j) {
                texts[hash_of[j]].hash = table.hash(hash_texts[j]);
            }
        }
        // Keys known distinct take their slots only once the walk is over;
        // others probe now. The prefetches are apart from the hashing: a
        // prefetch waits while the core's miss buffers are full of the key
        // and value lines asked for above, and the hashes need not wait.
        for (std::size_t i = 0; i < count && !keys_distinct; ++i) {
            if (hashed[i]) {
                table.prefetch(texts[i].hash);
            }
        }
        std::size_t done = 0;
        bool must_refetch = false;
        while (done < count && !must_refetch) {
            const Fetched& entry = fetched[done];
            keys_ahead.ask_one();
            // Python code run by this conversion may change the dict, making
            // the entries fetched after this one stale (and the keys planned
            // to be asked for): the walk fetches again from this entry's
            // cursor.
            must_refetch = !converts_without_python_code(entry.value);
            keys_distinct = keys_distinct && !must_refetch && PyUnicode_CheckExact(entry.key);
            if (Status added = add_entry(table, entry, hashed[done], texts[done], keys_distinct); !added.ok()) {
                return added.take_error();
            }
            ++done;
        }
        yielded += static_cast<Py_ssize_t>(done);
        if (must_refetch) {
            fetch(dict, start_size, fetched[done - 1].cursor, yielded, *current, wide_keys);
            continue;
        }
        keys_ahead.ask_rest();
        if (current->changed != nullptr) {
            panic(current->changed);
        }
        if (current->at_end) {
            break;
        }
        std::swap(current, ahead);
    }
    Storage storage = build_storage(std::move(table));
    return new_instance(type, std::move(storage.keys), std::move(storage.values));
}

Result<OwnedRef> build_dict(const QuorDictObject* instance) {
    const KeyIndex& keys = keys_of(instance);
    const double* values = values_of(instance).data();
    const std::size_t n = keys.size();
    // A dict presized for n keys is a general table that keeps each key's hash
    // beside it, so inserting never loads another key's str to compare hashes
    // (a dict grown from empty holding only str keys does), and it skips the
    // early resizes. The index's keys are distinct: they go straight in, in
    // position order.
    OwnedRef dict = OwnedRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    if (!dict) {
        return PyErr::fetch();
    }
    const std::string_view records = keys.records();
    const KeyDecoder decoder{loops::widest() != loops::Width::baseline, compress_utf8(),
                             records.data() + records.size()};
    Result<StrHasher> hasher = StrHasher::for_this_interpreter();
    if (!hasher.ok()) {
        return hasher.take_error();
    }
    KeyBuffer::Reader reader = keys.reader();
    // Keys are made a batch at a time, so that their hashes can be computed
    // side by side before the dict asks for them.
    OwnedRef made[StrHasher::batch];
    for (std::size_t base = 0; base < n; base += StrHasher::batch) {
        const std::size_t count = std::min(n - base, StrHasher::batch);
        for (std::size_t i = 0; i < count; ++i) {
            made[i] = OwnedRef::steal(new_str(reader.next_shaped(), decoder));
            if (!made[i]) {
                return PyErr::fetch();
            }
        }
        if (hasher.value().caches()) {
            hasher.value().cache(made, count);
        }
        for (std::size_t i = 0; i < count; ++i) {
            OwnedRef number = OwnedRef::steal(PyFloat_FromDouble(values[base + i]));
            if (!number) {
                return PyErr::fetch();
            }
            if (PyDict_SetItem(dict.get(), made[i].get(), number.get()) < 0) {
                return PyErr::fetch();
            }
            // Released here rather than by the guards' destructors, which
            // first ask the interpreter whether it is ending this thread: two
            // calls a key that this path, running with the lock held, has no
            // need of.
            made[i].reset();
            number.reset();
        }
    }
    return dict;
}

}  // namespace quorvex
