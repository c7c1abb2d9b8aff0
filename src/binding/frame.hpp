// The call frame: the one way into the module from the interpreter.
//
// Every entry (methods, constructor, property getter, deallocation, the
// module's exec step) runs its body through `run_in_frame`, which
//   1. arms the abort guard: a panic not caught in step 4 ends the process;
//   2. counts the thread in (`frame_depth`; a negative count forbids entry);
//   3. releases references whose release had to be deferred;
//   4. runs the body, catching a panic, and std::bad_alloc (from the storage
//      or from a Python object that could not be made) as a MemoryError;
//   5. maps the outcome onto the entry's return convention;
//   6. counts the thread out and disarms the guard.
// A forced unwind (a thread that the interpreter ends at exit) is neither an
// outcome nor a panic: it passes through the frame untouched.
//
// The entry convention follows from what the body returns:
//   Result<OwnedRef> -> new reference, or null with an exception set;
//   Status           -> 0, or -1 with an exception set (module exec step);
//   void             -> deallocation: a panic is reported as unraisable.
// The frame neither takes nor gives up the interpreter lock: it only counts.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>

#include "binding/error.hpp"
#include "binding/panic.hpp"
#include "binding/thread_exit.hpp"

namespace quorvex {

// Active frames on this thread; negative while entering is prohibited
// (-1 while a traversal hook runs).
extern constinit thread_local std::intptr_t frame_depth;

// Releases a reference at once inside a frame, otherwise defers it to the
// next frame entry on any thread.
void release_ref(PyObject* object) noexcept;

// Releases every deferred reference now (the lock must be held).
void release_pending_references();

// The PanicException error for a caught panic (`from_panic_payload`).
PyErr from_panic_payload(PanicPayload payload);

namespace frame_detail {

// Steps 2, 3 and 6: entry check and counting, deferred releases on entry.
class FrameCount {
public:
    FrameCount();
    ~FrameCount() { --frame_depth; }
    FrameCount(const FrameCount&) = delete;
    FrameCount& operator=(const FrameCount&) = delete;
};

// The outcome of a body that ran out of memory: a MemoryError.
struct OutOfMemory {};

// Step 5: raise a body's error or its panic; if that needs memory that is not
// there, the MemoryError is raised instead.
void raise_error(PyErr error);
void raise_panic(PanicPayload payload);
void report_unraisable_panic(PanicPayload payload);
void report_unraisable_memory_error();
[[noreturn]] void abort_at_boundary();

}  // namespace frame_detail

template <class Body>
QUORVEX_CATCHES_FORCED_UNWIND auto run_in_frame(Body&& body) {
    using Returned = decltype(body());
    try {
        frame_detail::FrameCount counted;
        if constexpr (std::is_void_v<Returned>) {
            try {
                body();
            } catch (Panic& caught) {
                frame_detail::report_unraisable_panic(std::move(caught.payload));
            } catch (const std::bad_alloc&) {
                frame_detail::report_unraisable_memory_error();
            }
            return;
        } else {
            std::variant<Returned, PanicPayload, frame_detail::OutOfMemory> outcome{std::in_place_index<2>};
            try {
                outcome.template emplace<0>(body());
            } catch (Panic& caught) {
                outcome.template emplace<1>(std::move(caught.payload));
            } catch (const std::bad_alloc&) {
                outcome.template emplace<2>();
            }
            constexpr bool is_exec_slot = std::is_same_v<Returned, Status>;
            using Entry = std::conditional_t<is_exec_slot, int, PyObject*>;
            if (auto* result = std::get_if<0>(&outcome)) {
                if (result->ok()) {
                    if constexpr (is_exec_slot) {
                        return Entry{0};
                    } else {
                        return result->value().release();
                    }
                }
                frame_detail::raise_error(result->take_error());
            } else if (auto* payload = std::get_if<1>(&outcome)) {
                frame_detail::raise_panic(std::move(*payload));
            } else {
                PyErr_NoMemory();
            }
            if constexpr (is_exec_slot) {
                return Entry{-1};
            } else {
                return static_cast<PyObject*>(nullptr);
            }
        }
    } catch (abi::__forced_unwind&) {
        // The interpreter is ending this thread (thread_exit.hpp).
        throw;
    } catch (...) {
        frame_detail::abort_at_boundary();
    }
}

}  // namespace quorvex
