// Guards on a thread that the interpreter is ending.
//
// While the interpreter finalises, CPython 3.11 to 3.13 ends a daemon thread
// that asks for the interpreter lock back by calling pthread_exit. That
// unwinds the thread with abi::__forced_unwind, which passes through our
// frames without the lock. It is not a panic: nothing may catch it for good,
// and a guard that runs on that way out must not touch a Python object, since
// the finalising thread owns them all now. Such guards leak what they hold,
// exactly as the interpreter's own frames on that thread do.
#pragma once

#include <exception>

#include "binding/python.hpp"

namespace quorvex {

namespace thread_exit_detail {
// True when the calling thread holds the interpreter lock with the thread
// state it last entered a frame with.
bool holds_interpreter() noexcept;
}  // namespace thread_exit_detail

// Notes the calling thread's state at frame entry.
void note_frame_thread_state() noexcept;

// True while the calling thread unwinds without the interpreter lock: only
// an ending thread does. Cheap when nothing unwinds.
inline bool unwinding_without_interpreter() noexcept {
    return std::uncaught_exceptions() != 0 && !thread_exit_detail::holds_interpreter();
}

}  // namespace quorvex
