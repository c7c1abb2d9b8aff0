#include "binding/borrow.hpp"

#include "binding/panic.hpp"

namespace quorvex {

bool try_shared_borrow(QuorDictObject* instance) noexcept {
    auto flag = instance->borrow_state();
    std::size_t current = flag.load(std::memory_order_relaxed);
    while (current != exclusively_borrowed) {
        if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void release_shared_borrow(QuorDictObject* instance) noexcept {
    instance->borrow_state().fetch_sub(1, std::memory_order_release);
}

Result<SharedBorrow> SharedBorrow::of_receiver(QuorDictObject* instance) {
    if (!try_shared_borrow(instance)) {
        return PyErr::with_message(PyExc_RuntimeError, "Already mutably borrowed");
    }
    return SharedBorrow(instance);
}

namespace {

QuorDictObject* borrow_or_panic(QuorDictObject* instance) {
    if (!try_shared_borrow(instance)) {
        panic("Already mutably borrowed: PyBorrowError");
    }
    return instance;
}

}  // namespace

ArgumentBorrow::ArgumentBorrow(QuorDictObject* instance)
    : reference_(OwnedRef::borrow(reinterpret_cast<PyObject*>(instance))),
      borrow_(SharedBorrow(borrow_or_panic(instance))) {}

}  // namespace quorvex
