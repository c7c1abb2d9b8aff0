#include "binding/thread_exit.hpp"

namespace quorvex {
namespace {

// The current thread state without the checks that would end the process
// when there is none. On 3.11 it is the state holding the lock, whichever
// thread that is; from 3.12 on it is the calling thread's own, or null while
// it is detached.
PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

constinit thread_local PyThreadState* frame_thread_state = nullptr;

}  // namespace

void note_frame_thread_state() noexcept {
    frame_thread_state = current_thread_state();
}

namespace thread_exit_detail {

bool holds_interpreter() noexcept {
    PyThreadState* current = current_thread_state();
    return current != nullptr && current == frame_thread_state;
}

}  // namespace thread_exit_detail
}  // namespace quorvex
