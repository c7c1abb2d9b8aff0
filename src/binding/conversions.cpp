#include "binding/conversions.hpp"

#include <optional>
#include <string>

namespace quorvex {

Result<double> extract_float(PyObject* object) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(object);
    }
    // An exact int or a bool converts as int.__float__ would, without the
    // float object that __float__ allocates and PyFloat_AsDouble then frees;
    // too large an int raises the same OverflowError.
    const double value =
        PyLong_CheckExact(object) || PyBool_Check(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<PyErr> error = PyErr::take()) {
            return std::move(*error);
        }
    }
    return value;
}

PyErr wrap_argument_error(const char* name, PyErr error) {
    if (error.exception_type() != PyExc_TypeError) {
        return error;
    }
    std::string message = std::string("argument '") + name + "': " + display_object(error.exception_value());
    std::optional<PyErr> inner_cause = error.cause();
    PyErr wrapped = PyErr::with_message(PyExc_TypeError, std::move(message));
    PyObject* cause = nullptr;
    if (inner_cause) {
        cause = inner_cause->exception_value();
        Py_INCREF(cause);
    }
    // Steals `cause`; like any assignment of __cause__ it also suppresses the
    // context in tracebacks.
    PyException_SetCause(wrapped.exception_value(), cause);
    return wrapped;
}

OwnedRef float_result(double value) {
    return expect_object(PyFloat_FromDouble(value));
}

}  // namespace quorvex
