#include "binding/raised_exception.hpp"

namespace quorvex {

#if PY_VERSION_HEX >= 0x030C0000

RaisedException take_raised_exception() {
    OwnedRef value = OwnedRef::steal(PyErr_GetRaisedException());
    if (!value) {
        return {};
    }
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(value.get()));
    return {std::move(type), std::move(value), std::move(traceback)};
}

void restore_raised_exception(RaisedException raised) noexcept {
    // What PyErr_Restore does with an instance: the traceback becomes its
    // __traceback__, and the type is the instance's own.
    if (raised.traceback) {
        PyException_SetTraceback(raised.value.get(), raised.traceback.get());
    }
    PyErr_SetRaisedException(raised.value.release());
}

#else

RaisedException take_raised_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
    }
    return {OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback)};
}

void restore_raised_exception(RaisedException raised) noexcept {
    PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
}

#endif

}  // namespace quorvex
