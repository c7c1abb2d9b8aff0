// The quorvex module: a static multi-phase definition whose one exec step
// reads which vector loop kinds to skip, publishes the QuorDict class and
// registers its pickle reducer. The module keeps no state of its own; the
// class object is one per process and shared by every module object.
#include "quordict/module.hpp"

#include <cstdlib>
#include <string>

#include "binding/frame.hpp"
#include "binding/panic.hpp"
#include "quordict/class_object.hpp"
#include "quordict/pickling.hpp"
#include "storage/cpu_features.hpp"

namespace quorvex {
namespace {

PyModuleDef_Slot quorvex_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorvex_exec)},
    {0, nullptr},
};

// Created on first use and kept for the life of the process, so that every
// lookup and assignment of __all__ uses one interned string.
PyObject* interned_all_name() {
    static PyObject* name = nullptr;
    if (name == nullptr) {
        PyObject* made = expect_object(PyUnicode_FromString("__all__")).release();
        PyUnicode_InternInPlace(&made);
        name = made;
    }
    return name;
}

// QUORVEX_DISABLE_CPU_FEATURES names loop kinds to skip, like NumPy's
// NPY_DISABLE_CPU_FEATURES. Names that select no kind are ignored with a
// RuntimeWarning, so that a misspelt name does not pass for a test of a loop.
Status skip_disabled_cpu_features() {
    const char* names = std::getenv("QUORVEX_DISABLE_CPU_FEATURES");
    const std::string unknown = loops::skip_cpu_features(names == nullptr ? "" : names);
    if (unknown.empty()) {
        return success();
    }
    // The variable's bytes need not be UTF-8.
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(unknown.data(), static_cast<Py_ssize_t>(unknown.size()), "backslashreplace"));
    if (!text ||
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "QUORVEX_DISABLE_CPU_FEATURES: ignoring %U (the loop kinds that can be skipped are avx2 "
                         "and avx512f)",
                         text.get()) < 0) {
        return PyErr::fetch();
    }
    return success();
}

Status exec_body(PyObject* module) {
    if (module == nullptr) {
        return PyErr::fetch();
    }
    if (Status skipped = skip_disabled_cpu_features(); !skipped.ok()) {
        return skipped;
    }
    if (!PyModule_Check(module)) {
        return cast_error(module, "module");
    }
    Result<PyTypeObject*> type = get_quordict_type();
    if (!type.ok()) {
        return type.take_error();
    }
    OwnedRef name = expect_object(PyUnicode_FromString("QuorDict"));
    Status added = module_add(module, name.get(), reinterpret_cast<PyObject*>(type.value()));
    return added.ok() ? register_quordict_reducer(type.value()) : std::move(added);
}

}  // namespace

PyModuleDef quorvex_module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvex",
    "A Python module implemented in Rust.",
    0,
    nullptr,
    quorvex_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

int quorvex_exec(PyObject* module) {
    return run_in_frame([module] { return exec_body(module); });
}

Status module_add(PyObject* module, PyObject* name, PyObject* value) {
    Result<OwnedRef> list = module_all_list(module);
    if (!list.ok()) {
        return list.take_error();
    }
    if (PyList_Append(list.value().get(), name) < 0) {
        PyErr error = PyErr::fetch();
        if (PyErr_GivenExceptionMatches(error.exception_type(), PyExc_MemoryError)) {
            return error;
        }
        panic("could not append __name__ to __all__: " + error.debug_text());
    }
    list.value().reset();
    if (PyObject_SetAttr(module, name, value) < 0) {
        return PyErr::fetch();
    }
    return success();
}

Result<OwnedRef> module_all_list(PyObject* module) {
    PyObject* all_name = interned_all_name();
    if (OwnedRef existing = OwnedRef::steal(PyObject_GetAttr(module, all_name))) {
        if (PyList_Check(existing.get())) {
            return existing;
        }
        return cast_error(existing.get(), "list");
    }
    PyErr lookup_error = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(lookup_error.exception_type(), PyExc_AttributeError)) {
        return lookup_error;
    }
    OwnedRef fresh = expect_object(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, fresh.get()) < 0) {
        return PyErr::fetch();
    }
    return fresh;
}

}  // namespace quorvex
