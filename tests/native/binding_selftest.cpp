// Driver for the binding layer's internals that no Python call reaches, run by
// tests/test_binding_native.py. It embeds the interpreter, links quorvex_core
// and prints one line per observation; the driver holds the expectations.
//
//   frames      outcomes of run_in_frame for each entry convention, and depths
//   releases    deferred releases outside a frame, drained at the next entry
//   dealloc     a deallocation body that panics
//   depth N     enters a frame with frame_depth set to N (negative: aborts)
//   modules     module_add and quorvex_exec on prepared module objects
//   errors      debug text, a maker of a non-exception, fetch with nothing set,
//               argument wrapping
//   str-hasher  whether to_dict's keys are hashed here, eight at a time
//   read-ahead  whether construction reads keys ahead in a dict's entry table
#include "binding/python.hpp"

#include <any>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "binding/conversions.hpp"
#include "binding/frame.hpp"
#include "quordict/class_object.hpp"
#include "quordict/dict_read_ahead.hpp"
#include "quordict/module.hpp"
#include "quordict/str_hashes.hpp"
#include "storage/cpu_features.hpp"

using namespace quorvex;

namespace {

constexpr const char* helpers = R"(
import sys, types
log = []
hooked = []
class Tracked:
    def __init__(self, n): self.n = n
    def __del__(self): log.append(self.n)
def describe(e):
    return f"{type(e).__module__}.{type(e).__qualname__}{e.args!r}"
def hook(u):
    hooked.append(f"{describe(u.exc_value)} object={u.object!r}")
class StrictModule(types.ModuleType):
    def __setattr__(self, name, value):
        if name != "__all__":
            raise ValueError(name)
        super().__setattr__(name, value)
def fails_lookup(name):
    raise KeyError(name)
)";

PyObject* main_dict() {
    return PyModule_GetDict(PyImport_AddModule("__main__"));
}

OwnedRef eval(const char* expression) {
    OwnedRef result = OwnedRef::steal(PyRun_String(expression, Py_eval_input, main_dict(), main_dict()));
    if (!result) {
        PyErr_Print();
        std::exit(2);
    }
    return result;
}

void print_eval(const char* label, const char* expression) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(eval(expression).get()));
    std::printf("%s %s\n", label, PyUnicode_AsUTF8(text.get()));
}

// The pending exception as "module.Type(args)", cleared; or "none".
std::string take_described() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return "none";
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef owned_type = OwnedRef::steal(type);
    OwnedRef owned_value = OwnedRef::steal(value);
    OwnedRef owned_traceback = OwnedRef::steal(traceback);
    OwnedRef describe = OwnedRef::borrow(PyDict_GetItemString(main_dict(), "describe"));
    OwnedRef text = OwnedRef::steal(PyObject_CallOneArg(describe.get(), owned_value.get()));
    return PyUnicode_AsUTF8(text.get());
}

void print_outcome(const char* label, PyObject* result) {
    OwnedRef owned = OwnedRef::steal(result);
    OwnedRef shown = OwnedRef::steal(owned ? PyObject_Str(owned.get()) : nullptr);
    std::string text = shown ? "value " + std::string(PyUnicode_AsUTF8(shown.get())) : take_described();
    std::printf("%s %s depth=%ld\n", label, text.c_str(), static_cast<long>(frame_depth));
}

void print_status(const char* label, int code) {
    std::printf("%s %d %s depth=%ld\n", label, code, take_described().c_str(), static_cast<long>(frame_depth));
}

int run_frames() {
    print_outcome("error",
                  run_in_frame([]() -> Result<OwnedRef> { return PyErr::with_message(PyExc_ValueError, "bad"); }));
    print_outcome("value", run_in_frame([]() -> Result<OwnedRef> { return OwnedRef::steal(PyLong_FromLong(7)); }));
    print_outcome("panic-text", run_in_frame([]() -> Result<OwnedRef> { panic("text message"); }));
    print_outcome("panic-static", run_in_frame([]() -> Result<OwnedRef> {
                      panic_with_payload(PanicPayload(static_cast<const char*>("static text")));
                  }));
    print_outcome("panic-other",
                  run_in_frame([]() -> Result<OwnedRef> { panic_with_payload(PanicPayload(std::any(42))); }));
    print_status("exec-ok", run_in_frame([]() -> Status { return success(); }));
    print_status("exec-error", run_in_frame([]() -> Status { return PyErr::with_message(PyExc_KeyError, "k"); }));
    print_status("exec-panic", run_in_frame([]() -> Status { panic("exec failed"); }));
    std::vector<long> depths;
    print_outcome("nested", run_in_frame([&]() -> Result<OwnedRef> {
                      depths.push_back(frame_depth);
                      PyObject* inner = run_in_frame([&]() -> Result<OwnedRef> {
                          depths.push_back(frame_depth);
                          panic("inner");
                      });
                      depths.push_back(frame_depth);
                      std::printf("inner %s\n", take_described().c_str());
                      return OwnedRef::steal(inner == nullptr ? PyLong_FromLong(depths.size()) : inner);
                  }));
    std::printf("depths %ld %ld %ld\n", depths[0], depths[1], depths[2]);
    return 0;
}

int run_releases() {
    OwnedRef first = eval("Tracked(1)");
    OwnedRef second = eval("Tracked(2)");
    release_ref(first.release());
    release_ref(second.release());
    print_eval("deferred", "log");
    print_outcome("entry", run_in_frame([]() -> Result<OwnedRef> {
                      print_eval("inside", "log");
                      release_ref(eval("Tracked(3)").release());
                      print_eval("immediate", "log");
                      return OwnedRef::borrow(Py_None);
                  }));
    print_outcome("again", run_in_frame([]() -> Result<OwnedRef> { return OwnedRef::borrow(Py_None); }));
    print_eval("final", "log");
    return 0;
}

int run_dealloc() {
    eval("setattr(sys, 'unraisablehook', hook)");
    PyObject* tracked = eval("Tracked(5)").release();
    run_in_frame([tracked]() -> void {
        Py_DECREF(tracked);
        panic("dealloc failed");
    });
    std::printf("returned depth=%ld pending=%s\n", static_cast<long>(frame_depth), take_described().c_str());
    print_eval("released", "log");
    print_eval("hooked", "hooked");
    return 0;
}

int run_depth(long depth) {
    frame_depth = depth;
    print_outcome("entered", run_in_frame([]() -> Result<OwnedRef> {
                      std::printf("body ran\n");
                      return OwnedRef::borrow(Py_None);
                  }));
    return 0;
}

OwnedRef text(const char* value) {
    return OwnedRef::steal(PyUnicode_FromString(value));
}

void add_to(const char* label, const char* module_expression) {
    OwnedRef module = eval(module_expression);
    OwnedRef name = text("X");
    OwnedRef value = OwnedRef::steal(PyLong_FromLong(1));
    const int code = run_in_frame([&]() -> Status { return module_add(module.get(), name.get(), value.get()); });
    print_status(label, code);
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
    OwnedRef all_text = all ? OwnedRef::steal(PyObject_Repr(all.get())) : text("missing");
    PyErr_Clear();
    std::printf("  __all__=%s X=%s\n", PyUnicode_AsUTF8(all_text.get()),
                PyObject_HasAttrString(module.get(), "X") ? "set" : "unset");
}

int run_modules() {
    add_to("fresh", "types.ModuleType('m')");
    add_to("listed", "(lambda m: (setattr(m, '__all__', ['X']), m)[1])(types.ModuleType('m'))");
    add_to("tuple", "(lambda m: (setattr(m, '__all__', ('a',)), m)[1])(types.ModuleType('m'))");
    add_to("lookup-fails", "(lambda m: (setattr(m, '__getattr__', fails_lookup), m)[1])(types.ModuleType('m'))");
    add_to("setattr-fails", "StrictModule('m')");
    OwnedRef number = OwnedRef::steal(PyLong_FromLong(5));
    print_status("exec-int", quorvex_exec(number.get()));
    print_status("exec-null", quorvex_exec(nullptr));
    PyErr_SetString(PyExc_ValueError, "pending");
    print_status("exec-null-pending", quorvex_exec(nullptr));
    OwnedRef module = eval("types.ModuleType('quorvex')");
    print_status("exec-module", quorvex_exec(module.get()));
    Result<PyTypeObject*> type = get_quordict_type();
    OwnedRef attribute = OwnedRef::steal(PyObject_GetAttrString(module.get(), "QuorDict"));
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module.get(), "__all__"));
    OwnedRef all_text = OwnedRef::steal(PyObject_Repr(all.get()));
    std::printf("  __all__=%s same-class=%d\n", PyUnicode_AsUTF8(all_text.get()),
                type.ok() && attribute.get() == reinterpret_cast<PyObject*>(type.value()));
    return 0;
}

class NotAnExceptionMaker final : public PyErr::Maker {
public:
    explicit NotAnExceptionMaker(const char* type_expression) : expression_(type_expression) {}
    PyErr::Made make() override { return {eval(expression_), text("x")}; }

private:
    const char* expression_;
};

int run_errors() {
    std::printf("plain %s\n", PyErr::with_message(PyExc_ValueError, "x").debug_text().c_str());
    PyRun_String("def f():\n    raise ValueError('x\"y')\nf()\n", Py_file_input, main_dict(), main_dict());
    std::printf("traceback %s\n", PyErr::fetch().debug_text().c_str());
    for (const char* made : {"int", "5", "KeyError"}) {
        PyErr::lazy(std::make_unique<NotAnExceptionMaker>(made)).restore();
        std::printf("maker-%s %s\n", made, take_described().c_str());
    }
    PyErr::fetch().restore();
    std::printf("fetch-nothing %s\n", take_described().c_str());
    eval("exec('class Sub(TypeError): pass', globals())");
    PyErr_SetObject(eval("Sub").get(), text("sub message").get());
    PyErr sub = PyErr::fetch();
    PyObject* before = sub.exception_value();
    PyErr kept = wrap_argument_error("value", std::move(sub));
    std::printf("wrap-subclass same=%d\n", kept.exception_value() == before);
    std::move(kept).restore();
    std::printf("  %s\n", take_described().c_str());
    wrap_argument_error("fill", cast_error(Py_None, "float")).restore();
    std::printf("wrap-exact %s\n", take_described().c_str());
    return 0;
}

int run_str_hasher() {
    Result<StrHasher> hasher = StrHasher::for_this_interpreter();
    std::printf("vector=%d caches=%d\n", loops::widest() == loops::Width::avx512,
                hasher.ok() && hasher.value().caches());
    return 0;
}

int run_read_ahead() {
    Result<DictReadAhead> reader = DictReadAhead::for_this_interpreter();
    std::printf("reads=%d\n", reader.ok() && reader.value().reads());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    Py_Initialize();
    if (PyRun_SimpleString(helpers) != 0) {
        return 2;
    }
    const std::string mode = argv[1];
    int code = 2;
    if (mode == "frames") code = run_frames();
    if (mode == "releases") code = run_releases();
    if (mode == "dealloc") code = run_dealloc();
    if (mode == "depth" && argc == 3) code = run_depth(std::atol(argv[2]));
    if (mode == "modules") code = run_modules();
    if (mode == "errors") code = run_errors();
    if (mode == "str-hasher") code = run_str_hasher();
    if (mode == "read-ahead") code = run_read_ahead();
    std::fflush(stdout);
    return code;
}
