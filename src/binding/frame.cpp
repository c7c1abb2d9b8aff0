// Frame bookkeeping: the per-thread frame count and the deferred releases.
#include "binding/frame.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "binding/panic_exception.hpp"
#include "binding/thread_exit.hpp"

namespace quorvex {

constinit thread_local std::intptr_t frame_depth = 0;

namespace {

// Created on first deferral and kept for the rest of the process. The flag
// spares every frame entry the mutex while nothing is pending. Every
// release_ref in this module runs inside a frame today, so nothing is deferred
// in practice; the list is kept for a release made outside one.
struct PendingReleases {
    std::mutex lock;
    std::vector<PyObject*> references;
};
std::atomic<PendingReleases*> pending_releases{nullptr};
std::atomic<bool> releases_waiting{false};

PendingReleases& pending_list() {
    PendingReleases* list = pending_releases.load(std::memory_order_acquire);
    if (list == nullptr) {
        auto* made = new PendingReleases();
        if (pending_releases.compare_exchange_strong(list, made, std::memory_order_acq_rel)) {
            list = made;
        } else {
            delete made;
        }
    }
    return *list;
}

}  // namespace

void release_pending_references() {
    if (!releases_waiting.load(std::memory_order_acquire)) {
        return;
    }
    PendingReleases* list = pending_releases.load(std::memory_order_acquire);
    std::vector<PyObject*> taken;
    {
        std::lock_guard<std::mutex> held(list->lock);
        taken.swap(list->references);
        releases_waiting.store(false, std::memory_order_release);
    }
    // Released after unlocking: a deallocation may defer further releases.
    for (PyObject* object : taken) {
        Py_DECREF(object);
    }
}

void release_ref(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (frame_depth > 0 && !ended_by_interpreter_exit()) {
        Py_DECREF(object);
        return;
    }
    // With no memory left to note the deferral, the reference is leaked: a
    // release must not fail.
    try {
        PendingReleases& list = pending_list();
        std::lock_guard<std::mutex> held(list.lock);
        list.references.push_back(object);
        releases_waiting.store(true, std::memory_order_release);
    } catch (const std::bad_alloc&) {
    }
}

namespace frame_detail {

FrameCount::FrameCount() {
    if (frame_depth < 0) {
        if (frame_depth == -1) {
            panic(
                "Attaching a thread to the interpreter is prohibited while a __traverse__ implementation is running.");
        }
        panic("Attaching a thread to the interpreter is currently prohibited.");
    }
    ++frame_depth;
    release_pending_references();
}

void raise_error(PyErr error) {
    try {
        std::move(error).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void raise_panic(PanicPayload payload) {
    try {
        from_panic_payload(std::move(payload)).restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

void report_unraisable_panic(PanicPayload payload) {
    raise_panic(std::move(payload));
    PyErr_WriteUnraisable(nullptr);
}

void report_unraisable_memory_error() {
    PyErr_NoMemory();
    PyErr_WriteUnraisable(nullptr);
}

void abort_at_boundary() {
    abort_after_uncaught_panic("uncaught panic at ffi boundary");
}

}  // namespace frame_detail
}  // namespace quorvex
