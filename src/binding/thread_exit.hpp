// Guards on a thread that the interpreter is ending.
//
// While the interpreter finalises, CPython 3.11 to 3.13 ends a daemon thread
// that asks for the interpreter lock back by calling pthread_exit. That
// unwinds the thread with abi::__forced_unwind, which passes through our
// frames without the lock. It is not a panic: nothing may catch it for good,
// and a guard that runs on that way out must not touch a Python object, since
// the finalising thread owns them all now. Such guards leak what they hold,
// exactly as the interpreter's own frames on that thread do.
//
// A forced unwind is not an uncaught exception (std::uncaught_exceptions()
// does not count it), so guards ask about the lock instead; the question is
// only asked while the interpreter finalises, which keeps it cheap.
#pragma once

#include "binding/python.hpp"

// A handler for abi::__forced_unwind binds its reference to no object: the
// unwind is not a C++ exception, and catching it by reference to rethrow it is
// the way the ABI provides. Functions with such a handler carry this mark so
// that the undefined-behaviour sanitizer does not report that binding.
#define QUORVEX_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))

namespace quorvex {

namespace thread_exit_detail {
bool interpreter_finalizing() noexcept;
bool holds_interpreter() noexcept;
}  // namespace thread_exit_detail

// True on a thread that must not touch Python objects because the
// finalising interpreter is ending it.
inline bool ended_by_interpreter_exit() noexcept {
    return thread_exit_detail::interpreter_finalizing() && !thread_exit_detail::holds_interpreter();
}

}  // namespace quorvex
