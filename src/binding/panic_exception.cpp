// Creation of the panic exception class and the two crossings between a
// panic and a Python exception.
#include "binding/panic_exception.hpp"

#include <cstdio>

#include "binding/error.hpp"
#include "binding/frame.hpp"
#include "binding/panic.hpp"
#include "binding/raised_exception.hpp"
#include "binding/released_gil.hpp"

namespace quorvex {
namespace {

constexpr const char panic_exception_doc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof panic_exception_doc - 1 == 235);

std::once_flag panic_type_once;
PyObject* panic_type_cell = nullptr;

class PanicExceptionMaker final : public PyErr::Maker {
public:
    explicit PanicExceptionMaker(std::string message) : message_(std::move(message)) {}
    PyErr::Made make() override {
        PyObject* panic_type = panic_exception_type();
        if (panic_type == nullptr) {
            return current_exception_as_made();
        }
        OwnedRef type = OwnedRef::borrow(panic_type);
        OwnedRef text =
            expect_object(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
        OwnedRef args = expect_object(PyTuple_New(1));
        PyTuple_SET_ITEM(args.get(), 0, text.release());
        return {std::move(type), std::move(args)};
    }

private:
    std::string message_;
};

}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* made = __atomic_load_n(&panic_type_cell, __ATOMIC_ACQUIRE)) {
        return made;
    }
    // A failure leaves the once flag unset, so the next need tries again.
    // It cannot be reported from inside the one-time work: taking the error
    // back from the interpreter asks for this very class.
    struct CreationFailed {};
    try {
        call_once_without_gil(panic_type_once, [] {
            release_pending_references();
            PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                                       PyExc_BaseException, nullptr);
            if (made == nullptr) {
                throw CreationFailed{};
            }
            __atomic_store_n(&panic_type_cell, made, __ATOMIC_RELEASE);
        });
    } catch (const CreationFailed&) {
        return nullptr;
    }
    return panic_type_cell;
}

PyErr from_panic_payload(PanicPayload payload) {
    std::string message;
    if (auto* owned = std::get_if<std::string>(&payload)) {
        message = std::move(*owned);  // whole, NUL characters included
    } else if (const char* text = payload_text(payload)) {
        message = text;
    } else {
        message = "panic from Rust code";
    }
    payload = PanicPayload{};
    return PyErr::lazy(std::make_unique<PanicExceptionMaker>(std::move(message)));
}

void resume_panic_from_python(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    std::string message;
    if (OwnedRef text = OwnedRef::steal(PyObject_Str(value.get()))) {
        message = lossy_text(text.get());
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fflush(stderr);
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    restore_raised_exception({std::move(type), std::move(value), std::move(traceback)});
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

}  // namespace quorvex
