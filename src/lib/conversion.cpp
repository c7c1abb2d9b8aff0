#include "lib/conversion.hpp"

#include "binding/conversions.hpp"
#include "binding/panic.hpp"
#include "lib/entry_table.hpp"
#include "lib/instance.hpp"
#include "lib/key_index.hpp"

namespace quorvex {

Result<OwnedRef> construct_from_dict(PyTypeObject* type, PyObject* dict) {
    // Held for the whole walk: a conversion below may run Python code that
    // drops the caller's last reference to the dict.
    const OwnedRef held_dict = OwnedRef::borrow(dict);
    const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
    EntryTable table(static_cast<std::size_t>(start_size));

    Py_ssize_t cursor = 0;
    Py_ssize_t yielded = 0;
    PyObject* raw_key = nullptr;
    PyObject* raw_value = nullptr;
    for (;;) {
        // A __float__ below may change the dict; its storage is walked
        // directly, so each step first checks that it is still the same.
        if (PyDict_GET_SIZE(dict) != start_size) {
            panic("dictionary changed size during iteration");
        }
        if (yielded > start_size) {
            panic("dictionary keys changed during iteration");
        }
        if (!PyDict_Next(dict, &cursor, &raw_key, &raw_value)) {
            break;
        }
        ++yielded;
        // The walk yields borrowed references that a __float__ deleting its
        // own entry would free mid-conversion: hold both while they are used.
        const OwnedRef key = OwnedRef::borrow(raw_key);
        const OwnedRef value = OwnedRef::borrow(raw_value);
        if (!PyUnicode_Check(key.get())) {
            return cast_error(key.get(), "str");
        }
        Py_ssize_t key_size = 0;
        const char* key_text = PyUnicode_AsUTF8AndSize(key.get(), &key_size);
        if (key_text == nullptr) {
            return PyErr::fetch();
        }
        Result<double> number = extract_float(value.get());
        if (!number.ok()) {
            return number.take_error();
        }
        table.insert(std::string_view(key_text, static_cast<std::size_t>(key_size)), number.value());
    }
    Storage storage = build_storage(std::move(table));
    return new_instance(type, std::move(storage.keys), std::move(storage.values));
}

Result<OwnedRef> build_dict(const QuorDictObject* instance) {
    const ValueArray& values = values_of(instance);
    EntryTable table(values.size());
    keys_of(instance).for_each([&](std::string_view key, std::uint64_t position) {
        table.insert(key, values.at(static_cast<std::size_t>(position)));
    });
    OwnedRef dict = expect_object(PyDict_New());
    std::optional<PyErr> failure;
    table.for_each([&](std::string_view key, double value) {
        if (failure) {
            return;
        }
        OwnedRef text = expect_object(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        OwnedRef number = float_result(value);
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
