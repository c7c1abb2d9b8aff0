#include "binding/thread_exit.hpp"

namespace quorvex::thread_exit_detail {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    // The calling thread's own state, null while it is detached.
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // Before 3.12 the current state is the one holding the lock, whichever
    // thread that is; the thread's own state is the one the GIL-state API
    // registered for it.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

}  // namespace quorvex::thread_exit_detail
