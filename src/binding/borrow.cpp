#include "binding/borrow.hpp"

#include "binding/panic.hpp"

namespace quorvex {

bool try_shared_borrow(BorrowFlag flag) noexcept {
    std::size_t current = flag.load(std::memory_order_relaxed);
    while (current != exclusively_borrowed) {
        if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void release_shared_borrow(BorrowFlag flag) noexcept {
    flag.fetch_sub(1, std::memory_order_release);
}

PyErr receiver_borrow_refused() {
    return PyErr::with_message(PyExc_RuntimeError, "Already mutably borrowed");
}

void argument_borrow_refused() {
    panic("Already mutably borrowed: PyBorrowError");
}

}  // namespace quorvex
