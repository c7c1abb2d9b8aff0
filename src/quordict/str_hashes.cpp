#include "quordict/str_hashes.hpp"

#include <cstring>
#include <string_view>

#include "quordict/checked_once.hpp"
#include "storage/byte_order.hpp"
#include "storage/cpu_features.hpp"

namespace quorvex {
namespace {

// A ready str's characters, in its kind's width: what the interpreter hashes.
std::string_view contents_of(PyObject* text) noexcept {
    return {static_cast<const char*>(PyUnicode_DATA(text)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) * PyUnicode_KIND(text)};
}

// The interpreter's value for the hash of some bytes: -1, its error value,
// becomes -2.
Py_hash_t as_interpreter_hash(std::uint64_t hash) noexcept {
    const auto value = static_cast<Py_hash_t>(hash);
    return value == -1 ? -2 : value;
}

#if PY_VERSION_HEX < 0x030D0000 && !defined(Py_GIL_DISABLED)
constexpr bool key_declared = true;

// The interpreter's SipHash key, which it reads as two little-endian words.
HashSeed interpreter_key() noexcept {
    return {load_le64(reinterpret_cast<const unsigned char*>(&_Py_HashSecret.siphash.k0)),
            load_le64(reinterpret_cast<const unsigned char*>(&_Py_HashSecret.siphash.k1))};
}
#else
constexpr bool key_declared = false;

HashSeed interpreter_key() noexcept {
    return {};
}
#endif

// A new str of `length` characters whose last is `top` (setting its kind)
// and the rest ASCII letters varying with the length.
OwnedRef sample_str(Py_ssize_t length, Py_UCS4 top) {
    OwnedRef text = OwnedRef::steal(PyUnicode_New(length, top));
    if (!text) {
        return text;
    }
    const int kind = PyUnicode_KIND(text.get());
    void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i + 1 < length; ++i) {
        PyUnicode_WRITE(kind, data, i, static_cast<Py_UCS4>('a' + (i * 7 + length) % 26));
    }
    PyUnicode_WRITE(kind, data, length - 1, top);
    return text;
}

// Whether the hashes cache() would store equal the interpreter's own, for
// strs of every kind, of 1 to 24 characters (1 to 96 bytes: every tail
// length, up to twelve words), hashed in batches as to_dict hashes them.
Result<bool> agrees_with_interpreter(const HashSeed& key) {
    constexpr Py_UCS4 tops[] = {'z', 0xE9, 0x3B1, 0x1F600};  // ASCII, Latin-1, two and four bytes
    constexpr Py_ssize_t longest = 24;
    for (const Py_UCS4 top : tops) {
        for (Py_ssize_t first = 1; first <= longest; first += static_cast<Py_ssize_t>(StrHasher::batch)) {
            OwnedRef samples[StrHasher::batch];
            std::string_view texts[StrHasher::batch];
            std::size_t count = 0;
            for (Py_ssize_t length = first; length <= longest && count < StrHasher::batch; ++length, ++count) {
                samples[count] = sample_str(length, top);
                if (!samples[count]) {
                    return PyErr::fetch();
                }
                texts[count] = contents_of(samples[count].get());
            }
            std::uint64_t ours[StrHasher::batch];
            siphash13_many(key, texts, count, ours, true);
            for (std::size_t i = 0; i < count; ++i) {
                if (as_interpreter_hash(ours[i]) != PyObject_Hash(samples[i].get())) {
                    return false;
                }
            }
        }
    }
    return true;
}

CheckedOnce hashes_agree;

}  // namespace

Result<StrHasher> StrHasher::for_this_interpreter() {
    if (!key_declared || sizeof(Py_hash_t) != sizeof(std::uint64_t) || loops::widest() != loops::Width::avx512) {
        return StrHasher(false, {});
    }
    // Read at every use: an interpreter embedded and started again draws a
    // new key.
    const HashSeed key = interpreter_key();
    Result<bool> agrees = hashes_agree.answer([&]() -> Result<bool> {
        const PyHash_FuncDef* hash = PyHash_GetFuncDef();
        if (hash == nullptr || std::strcmp(hash->name, "siphash13") != 0) {
            return false;
        }
        return agrees_with_interpreter(key);
    });
    if (!agrees.ok()) {
        return agrees.take_error();
    }
    return StrHasher(agrees.value(), key);
}

void StrHasher::cache(const OwnedRef* strs, std::size_t count) const noexcept {
    std::string_view texts[batch];
    for (std::size_t i = 0; i < count; ++i) {
        texts[i] = contents_of(strs[i].get());
    }
    std::uint64_t hashes[batch];
    siphash13_many(seed_, texts, count, hashes, true);
    for (std::size_t i = 0; i < count; ++i) {
        // The empty str is the interpreter's one shared object, hashed as 0
        // without being read: it is left as it is.
        auto* header = reinterpret_cast<PyASCIIObject*>(strs[i].get());
        if (header->hash == -1 && !texts[i].empty()) {
            header->hash = as_interpreter_hash(hashes[i]);
        }
    }
}

}  // namespace quorvex
