// The error value: how the module's code reports an expected failure.
//
// A `PyErr` is either lazy (a maker that builds the exception when it is
// needed, so that messages are composed only when a failure is reported) or
// normalised (exception type, value and traceback as Python objects). It is
// normalised at most once, the first time its type or value is needed, under
// a guard that runs the work once, waits without the interpreter lock, and
// detects a maker that tries to normalise its own error.
//
// Functions that can fail return `Result<T>`; the call frame raises the error
// of a failed body. An error that is dropped unraised releases its objects
// through `release_ref`, which defers the release when no frame is active.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "binding/refs.hpp"

namespace quorvex {

class PyErr {
public:
    // What a maker hands back: the exception type and either the exception
    // value or a tuple of arguments for it (both new references).
    struct Made {
        OwnedRef type;
        OwnedRef value_or_args;
    };
    // A maker owns the data it captured; destroying it releases that data.
    class Maker {
    public:
        virtual ~Maker() = default;
        virtual Made make() = 0;
    };
    struct Normalized {
        PyObject* type = nullptr;       // owned
        PyObject* value = nullptr;      // owned
        PyObject* traceback = nullptr;  // owned, may be null
    };

    static PyErr lazy(std::unique_ptr<Maker> maker);
    // A lazy error of a built-in exception type whose only argument is `message`.
    static PyErr with_message(PyObject* exception_type, std::string message);
    static PyErr from_normalized(OwnedRef type, OwnedRef value, OwnedRef traceback);

    // Moves the current exception into an error; none if nothing is set.
    // A PanicException coming back from Python resumes the panic instead.
    static std::optional<PyErr> take();
    // `take`, or the SystemError that says nothing was set.
    static PyErr fetch();

    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    ~PyErr();

    // Sets the interpreter's current exception from this error (`raise`).
    void restore() &&;

    const Normalized& normalize();
    PyObject* exception_type() { return normalize().type; }    // borrowed
    PyObject* exception_value() { return normalize().value; }  // borrowed
    // The exception's __cause__ as an error, or none.
    std::optional<PyErr> cause();
    // "PyErr { type: ..., value: ..., traceback: ... }", for panic messages.
    std::string debug_text();

    struct State;  // defined in error.cpp

private:
    explicit PyErr(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// The lazy TypeError for an object that is not an instance of `target_name`;
// its message is composed only when the error is raised.
PyErr cast_error(PyObject* object, const char* target_name);

// The text of an object inside a message: str() of it as lossy UTF-8, with
// the unprintable fallbacks when str() raises.
std::string display_object(PyObject* object);
// A str object's text as UTF-8; lone surrogates become U+FFFD.
std::string lossy_text(PyObject* unicode);
// The same with repr().
std::string display_repr(PyObject* object);

// Raises `error` and reports it through the unraisable hook with `object`
// (which may be null); the hook clears it.
void write_unraisable(PyErr error, PyObject* object);

// Checks a C API result that must be a new object. On null with a
// MemoryError pending, clears it and throws std::bad_alloc (the call frame
// raises a MemoryError); otherwise reports any pending exception as
// unraisable and panics with "PyObject pointer is null".
OwnedRef expect_object(PyObject* result);

// If the pending exception is a MemoryError, clears it and throws
// std::bad_alloc, which the call frame raises as a MemoryError.
void throw_if_out_of_memory();

// For a maker that could not build its exception: the exception that
// stopped it (moved out of the interpreter), raised in place of its own.
PyErr::Made current_exception_as_made();

// The Result of an operation that can fail with a PyErr.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : content_(std::move(value)) {}      // NOLINT: implicit by design
    Result(PyErr error) : content_(std::move(error)) {}  // NOLINT: implicit by design

    bool ok() const noexcept { return content_.index() == 0; }
    T& value() { return std::get<0>(content_); }
    PyErr& error() { return std::get<1>(content_); }
    T take_value() { return std::move(std::get<0>(content_)); }
    PyErr take_error() { return std::move(std::get<1>(content_)); }

private:
    std::variant<T, PyErr> content_;
};

using Status = Result<std::monostate>;
inline Status success() {
    return Status(std::monostate{});
}

}  // namespace quorvex
