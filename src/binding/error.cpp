// The error value's states and transitions, the cast error, and the display
// of objects inside messages.
#include "binding/error.hpp"

#include <mutex>
#include <new>
#include <thread>

#include "binding/frame.hpp"
#include "binding/panic.hpp"
#include "binding/panic_exception.hpp"
#include "binding/raised_exception.hpp"
#include "binding/released_gil.hpp"

namespace quorvex {

// `Taken` exists only while normalisation has moved the state out.
struct Taken {};

struct PyErr::State {
    std::variant<std::unique_ptr<Maker>, Normalized, Taken> content;
    std::once_flag normalized_once;
    std::mutex normalizing_lock;
    std::optional<std::thread::id> normalizing_thread;
};

namespace {

// A captured object that an unraised error may drop outside any frame.
class DeferredRef {
public:
    explicit DeferredRef(PyObject* object) : object_(object) { Py_XINCREF(object_); }
    DeferredRef(const DeferredRef&) = delete;
    DeferredRef& operator=(const DeferredRef&) = delete;
    ~DeferredRef() { release_ref(object_); }
    PyObject* get() const { return object_; }

private:
    PyObject* object_;
};

OwnedRef text_object(const std::string& text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

class MessageMaker final : public PyErr::Maker {
public:
    MessageMaker(PyObject* type, std::string message) : type_(type), message_(std::move(message)) {}
    PyErr::Made make() override { return {OwnedRef::borrow(type_), text_object(message_)}; }

private:
    PyObject* type_;  // a built-in exception type, immortal for our purposes
    std::string message_;
};

class CastErrorMaker final : public PyErr::Maker {
public:
    CastErrorMaker(PyObject* object, const char* target) : object_(object), target_(target) {}
    PyErr::Made make() override {
        std::string message;
        if (object_.get() == Py_None) {
            message = std::string("'None' is not an instance of '") + target_ + "'";
        } else {
            std::string type_name;
            if (OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object_.get())))) {
                type_name = lossy_text(qualname.get());
            } else {
                throw_if_out_of_memory();
                PyErr_Clear();
                type_name = "<failed to extract type name>";
            }
            message = "'" + type_name + "' object is not an instance of '" + target_ + "'";
        }
        return {OwnedRef::borrow(PyExc_TypeError), text_object(message)};
    }

private:
    DeferredRef object_;
    const char* target_;
};

// Sets the current exception from a maker, then replaces it by its
// normalised form, so that the current exception is always an instance.
void raise_lazy(std::unique_ptr<PyErr::Maker> maker) {
    PyErr::Made made = maker->make();
    maker.reset();
    PyObject* type = made.type.get();
    if (PyType_Check(type) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(type, made.value_or_args.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    made = {};
    restore_raised_exception(take_raised_exception());
}

// Rust's debug form of a string: quoted, with escapes.
std::string debug_quoted(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            case '\0': quoted += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    static const char digits[] = "0123456789abcdef";
                    quoted += "\\u{";
                    if (c >= 0x10) {
                        quoted += digits[c >> 4];
                    }
                    quoted += digits[c & 0xf];
                    quoted += "}";
                } else {
                    quoted += static_cast<char>(c);
                }
        }
    }
    return quoted + "\"";
}

std::string traceback_text(PyObject* traceback) {
    auto unformattable = [traceback](PyErr error) {
        write_unraisable(std::move(error), traceback);
        return "<unformattable " + display_repr(traceback) + ">";
    };
    OwnedRef io = OwnedRef::steal(PyImport_ImportModule("io"));
    if (!io) {
        return unformattable(PyErr::fetch());
    }
    OwnedRef buffer = OwnedRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
    if (!buffer) {
        return unformattable(PyErr::fetch());
    }
    if (PyTraceBack_Print(traceback, buffer.get()) < 0) {
        return unformattable(PyErr::fetch());
    }
    OwnedRef text = OwnedRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (!text) {
        return unformattable(PyErr::fetch());
    }
    return lossy_text(text.get());
}

}  // namespace

PyErr::PyErr(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;

PyErr::~PyErr() {
    if (state_ == nullptr) {
        return;
    }
    if (auto* normalized = std::get_if<Normalized>(&state_->content)) {
        release_ref(normalized->type);
        release_ref(normalized->value);
        release_ref(normalized->traceback);
    }
}

PyErr PyErr::lazy(std::unique_ptr<Maker> maker) {
    auto state = std::make_unique<State>();
    state->content = std::move(maker);
    return PyErr(std::move(state));
}

PyErr PyErr::with_message(PyObject* exception_type, std::string message) {
    return lazy(std::make_unique<MessageMaker>(exception_type, std::move(message)));
}

PyErr PyErr::from_normalized(OwnedRef type, OwnedRef value, OwnedRef traceback) {
    auto state = std::make_unique<State>();
    state->content = Normalized{type.release(), value.release(), traceback.release()};
    return PyErr(std::move(state));
}

std::optional<PyErr> PyErr::take() {
    RaisedException raised = take_raised_exception();
    if (!raised.type) {
        return std::nullopt;
    }
    if (!raised.value) {
        panic("normalized exception value missing");
    }
    PyObject* panic_type = panic_exception_type();
    if (panic_type == nullptr) {
        // No exception can be an instance of a class that could not be made:
        // the one being taken is what the caller needs, not that failure.
        PyErr_Clear();
    } else if (raised.type.get() == panic_type) {
        resume_panic_from_python(std::move(raised.type), std::move(raised.value), std::move(raised.traceback));
    }
    return from_normalized(std::move(raised.type), std::move(raised.value), std::move(raised.traceback));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> taken = take()) {
        return std::move(*taken);
    }
    return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() && {
    State& state = *state_;
    if (std::holds_alternative<Taken>(state.content)) {
        panic("PyErr state should never be invalid outside of normalization");
    }
    if (auto* normalized = std::get_if<Normalized>(&state.content)) {
        Normalized handed = *normalized;
        state.content = Taken{};
        restore_raised_exception(
            {OwnedRef::steal(handed.type), OwnedRef::steal(handed.value), OwnedRef::steal(handed.traceback)});
        return;
    }
    auto maker = std::move(std::get<std::unique_ptr<Maker>>(state.content));
    state.content = Taken{};
    raise_lazy(std::move(maker));
}

const PyErr::Normalized& PyErr::normalize() {
    State& state = *state_;
    if (auto* normalized = std::get_if<Normalized>(&state.content)) {
        return *normalized;
    }
    {
        std::lock_guard<std::mutex> held(state.normalizing_lock);
        if (state.normalizing_thread == std::this_thread::get_id()) {
            panic("Re-entrant normalization of PyErrState detected");
        }
    }
    call_once_without_gil(state.normalized_once, [&state] {
        {
            std::lock_guard<std::mutex> held(state.normalizing_lock);
            state.normalizing_thread = std::this_thread::get_id();
        }
        struct ClearNormalizingThread {
            State& state;
            ~ClearNormalizingThread() {
                std::lock_guard<std::mutex> held(state.normalizing_lock);
                state.normalizing_thread.reset();
            }
        } clear_on_exit{state};

        auto content = std::exchange(state.content, Taken{});
        if (std::holds_alternative<Taken>(content)) {
            panic("Cannot normalize a PyErr while already normalizing it.");
        }
        if (auto* normalized = std::get_if<Normalized>(&content)) {
            state.content = *normalized;
            return;
        }
        raise_lazy(std::move(std::get<std::unique_ptr<Maker>>(content)));
        RaisedException raised = take_raised_exception();
        if (!raised.type) {
            panic("Exception type missing");
        }
        if (!raised.value) {
            panic("Exception value missing");
        }
        state.content = Normalized{raised.type.release(), raised.value.release(), raised.traceback.release()};
    });
    if (auto* normalized = std::get_if<Normalized>(&state.content)) {
        return *normalized;
    }
    panic("internal error: entered unreachable code");
}

std::optional<PyErr> PyErr::cause() {
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(normalize().value));
    if (!cause) {
        return std::nullopt;
    }
    OwnedRef type = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(cause.get())));
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(cause.get()));
    return from_normalized(std::move(type), std::move(cause), std::move(traceback));
}

std::string PyErr::debug_text() {
    // Outside any frame the lock may not be held; take it for the duration.
    const bool attach = frame_depth <= 0;
    PyGILState_STATE gil_state{};
    if (attach) {
        gil_state = PyGILState_Ensure();
    }
    struct Detach {
        bool attach;
        PyGILState_STATE state;
        ~Detach() {
            if (attach && !ended_by_interpreter_exit()) {
                PyGILState_Release(state);
            }
        }
    } detach{attach, gil_state};

    const Normalized& normalized = normalize();
    std::string text = "PyErr { type: " + display_repr(normalized.type) + ", value: " + display_repr(normalized.value) +
                       ", traceback: ";
    if (normalized.traceback == nullptr) {
        text += "None";
    } else {
        text += "Some(" + debug_quoted(traceback_text(normalized.traceback)) + ")";
    }
    return text + " }";
}

PyErr cast_error(PyObject* object, const char* target_name) {
    return PyErr::lazy(std::make_unique<CastErrorMaker>(object, target_name));
}

std::string lossy_text(PyObject* unicode) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(unicode, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    throw_if_out_of_memory();
    PyErr_Clear();
    OwnedRef bytes = expect_object(PyUnicode_AsEncodedString(unicode, "utf-8", "surrogatepass"));
    OwnedRef repaired =
        expect_object(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) {
        expect_object(nullptr);
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

std::string display_with(PyObject* object, PyObject* (*render)(PyObject*)) {
    if (OwnedRef text = OwnedRef::steal(render(object))) {
        return lossy_text(text.get());
    }
    // Out of memory the text cannot be made either way: the message that
    // would hold it fails as a whole.
    throw_if_out_of_memory();
    write_unraisable(PyErr::fetch(), object);
    if (OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)))) {
        return "<unprintable " + lossy_text(name.get()) + " object>";
    }
    throw_if_out_of_memory();
    PyErr_Clear();
    return "<unprintable object>";
}

}  // namespace

std::string display_object(PyObject* object) {
    return display_with(object, PyObject_Str);
}

std::string display_repr(PyObject* object) {
    return display_with(object, PyObject_Repr);
}

void write_unraisable(PyErr error, PyObject* object) {
    std::move(error).restore();
    PyErr_WriteUnraisable(object);
}

void throw_if_out_of_memory() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
}

PyErr::Made current_exception_as_made() {
    RaisedException raised = take_raised_exception();
    if (!raised.type) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = take_raised_exception();
    }
    return {std::move(raised.type), std::move(raised.value)};
}

OwnedRef expect_object(PyObject* result) {
    if (result == nullptr) {
        throw_if_out_of_memory();
        if (PyErr_Occurred() != nullptr) {
            write_unraisable(PyErr::fetch(), nullptr);
        }
        panic("PyObject pointer is null");
    }
    return OwnedRef::steal(result);
}

}  // namespace quorvex
