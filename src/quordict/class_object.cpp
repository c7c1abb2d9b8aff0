// The QuorDict class object: the PyType_Spec it is made from, its method and property
// tables, the process-wide cache, and instance allocation and release.
#include "quordict/class_object.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/frame.hpp"
#include "quordict/docstrings.hpp"
#include "quordict/quordict_entries.hpp"
#include "quordict/quordict_object.hpp"

namespace quorvex {
namespace {

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef quordict_methods[] = {
    {"add_scalar", as_method(quordict_add_scalar), fast_keywords, docs::add_scalar},
    {"add", as_method(quordict_add), fast_keywords, docs::add},
    {"subtract_scalar", as_method(quordict_subtract_scalar), fast_keywords, docs::subtract_scalar},
    {"subtract", as_method(quordict_subtract), fast_keywords, docs::subtract},
    {"multiply_scalar", as_method(quordict_multiply_scalar), fast_keywords, docs::multiply_scalar},
    {"multiply", as_method(quordict_multiply), fast_keywords, docs::multiply},
    {"divide_scalar", as_method(quordict_divide_scalar), fast_keywords, docs::divide_scalar},
    {"divide", as_method(quordict_divide), fast_keywords, docs::divide},
    {"sum", as_method(quordict_sum), METH_NOARGS, docs::sum},
    {"product", as_method(quordict_product), METH_NOARGS, docs::product},
    {"reset", as_method(quordict_reset), fast_keywords, docs::reset},
    {nullptr, nullptr, 0, nullptr},
};

// The property's getter is generic: its closure names the body to run.
using GetterBody = Result<OwnedRef> (*)(PyObject*);
const GetterBody to_dict_body = quordict_to_dict;

PyObject* quordict_getter(PyObject* self, void* closure) {
    const GetterBody body = *static_cast<const GetterBody*>(closure);
    return run_in_frame([&] { return body(self); });
}

PyGetSetDef quordict_getset[] = {
    {"to_dict", quordict_getter, nullptr, docs::to_dict, const_cast<GetterBody*>(&to_dict_body)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void quordict_dealloc(PyObject* self) {
    run_in_frame([self]() -> void {
        quordict_release_storage(self);
        PyTypeObject* type = Py_TYPE(self);
        {
            OwnedRef held_type = OwnedRef::borrow(reinterpret_cast<PyObject*>(type));
            auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            if (free_function == nullptr) {
                panic("PyBaseObject_Type should have tp_free");
            }
            free_function(self);
        }
        // Every instance of a heap type holds a reference to its type.
        Py_DECREF(type);
    });
}

Result<OwnedRef> create_quordict_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(docs::class_doc)},
        {Py_tp_new, reinterpret_cast<void*>(quordict_new)},
        {Py_tp_methods, quordict_methods},
        {Py_tp_getset, quordict_getset},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(quordict_dealloc)},
        {0, nullptr},
    };
    // The class declares no module, so "builtins" stands in its place. The
    // interpreter copies the name, so it need only live through the call.
    const std::string name = std::string("builtins") + "." + "QuorDict";
    PyType_Spec type_spec = {name.c_str(), static_cast<int>(sizeof(QuorDictObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    if (PyObject* type = PyType_FromSpec(&type_spec)) {
        return OwnedRef::steal(type);
    }
    return PyErr::fetch();
}

// Filled at most once and never emptied: `created` on creation, `ready` when
// initialisation has finished. Each holds one reference to the class.
struct QuorDictTypeCache {
    std::atomic<PyObject*> created{nullptr};
    std::atomic<PyObject*> ready{nullptr};
    std::mutex lock;
    std::vector<std::thread::id> initialising_threads;
};
QuorDictTypeCache quordict_type_cache;

PyTypeObject* as_type(PyObject* object) {
    return reinterpret_cast<PyTypeObject*>(object);
}

// Stores `made` into an empty cell; if another thread filled the cell first,
// `made` is released and the stored object is returned.
PyObject* store_once(std::atomic<PyObject*>& cell, OwnedRef made) {
    PyObject* expected = nullptr;
    if (cell.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
        return made.release();
    }
    return expected;
}

}  // namespace

Result<PyTypeObject*> get_quordict_type() {
    QuorDictTypeCache& cache = quordict_type_cache;
    if (PyObject* ready = cache.ready.load(std::memory_order_acquire)) {
        return as_type(ready);
    }
    PyObject* created = cache.created.load(std::memory_order_acquire);
    if (created == nullptr) {
        Result<OwnedRef> made = create_quordict_type();
        if (!made.ok()) {
            PyErr wrapped =
                PyErr::with_message(PyExc_RuntimeError, "An error occurred while initializing class QuorDict");
            PyObject* cause = made.error().exception_value();
            Py_INCREF(cause);
            PyException_SetCause(wrapped.exception_value(), cause);
            return wrapped;
        }
        created = store_once(cache.created, made.take_value());
    }
    {
        std::lock_guard<std::mutex> held(cache.lock);
        const auto me = std::this_thread::get_id();
        auto& threads = cache.initialising_threads;
        if (std::find(threads.begin(), threads.end(), me) != threads.end()) {
            return as_type(created);
        }
        threads.push_back(me);
    }
    // No class attributes to compute, and the class stays mutable: finishing
    // is only the bookkeeping.
    {
        std::lock_guard<std::mutex> held(cache.lock);
        cache.initialising_threads.clear();
    }
    store_once(cache.ready, OwnedRef::borrow(created));
    return as_type(created);
}

PyTypeObject* require_quordict_type() {
    if (PyObject* ready = quordict_type_cache.ready.load(std::memory_order_acquire)) {
        return as_type(ready);
    }
    Result<PyTypeObject*> type = get_quordict_type();
    if (type.ok()) {
        return type.value();
    }
    write_unraisable(type.take_error(), nullptr);
    panic("failed to create type object for `QuorDict`");
}

Result<OwnedRef> allocate_instance(PyTypeObject* subtype) {
    newfunc base_new = PyBaseObject_Type.tp_new;
    if (base_new == nullptr) {
        return PyErr::with_message(PyExc_TypeError, "base type without tp_new");
    }
    OwnedRef no_arguments = expect_object(PyTuple_New(0));
    if (PyObject* object = base_new(subtype, no_arguments.get(), nullptr)) {
        return OwnedRef::steal(object);
    }
    return PyErr::fetch();
}

}  // namespace quorvex
