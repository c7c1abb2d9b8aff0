// Ownership of Python object references, stated once in the types.
//
// - `OwnedRef` holds one strong reference and releases it when it goes away.
//   `OwnedRef::steal` consumes a new reference (such as a C API call returns);
//   `OwnedRef::borrow` takes a new reference to an object the caller only
//   borrowed.
// - Plain `PyObject*` parameters and fields are borrowed unless a comment says
//   otherwise.
// - `OwnedRef::release` hands the reference over (to the interpreter, or to a
//   function that steals it), leaving the holder empty.
//
// Every body releases what it took through these destructors, so an error or a
// panic that leaves a body cannot leak a reference. The wrapper is one pointer
// wide and costs nothing over the hand-written form. A holder that a thread
// ending at interpreter exit unwinds leaks its reference (thread_exit.hpp).
#pragma once

#include <utility>

#include "binding/python.hpp"
#include "binding/thread_exit.hpp"

namespace quorvex {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() {
        if (object_ != nullptr && !ended_by_interpreter_exit()) {
            Py_DECREF(object_);
        }
    }

    // Consumes a new reference; null gives an empty holder.
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Py_XDECREF(std::exchange(object_, nullptr)); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorvex
