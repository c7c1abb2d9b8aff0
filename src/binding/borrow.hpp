// Shared borrows of a record's borrow flag.
//
// Every body reads an instance only under a shared borrow, and every borrow
// is a guard, so it is released on every way out of the body: return, error
// or panic. Nothing in the module takes an exclusive borrow, so any number of
// shared borrows coexist (a method may receive the same instance as self and
// as `other`). An exclusive mark can only come from outside; it refuses the
// receiver with a RuntimeError and an argument with a panic.
//
// `Record` is an object record (it starts with PyObject_HEAD) whose
// `borrow_state()` gives its flag: 0 free, n shared borrows, all bits set
// exclusive.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

#include "binding/error.hpp"

namespace quorvex {

constexpr std::size_t exclusively_borrowed = ~std::size_t{0};

using BorrowFlag = std::atomic_ref<std::size_t>;

bool try_shared_borrow(BorrowFlag flag) noexcept;
void release_shared_borrow(BorrowFlag flag) noexcept;

// The refusal of a receiver: RuntimeError "Already mutably borrowed".
PyErr receiver_borrow_refused();

// The refusal of an argument: a panic "Already mutably borrowed: PyBorrowError".
[[noreturn]] void argument_borrow_refused();

template <class Record>
class ArgumentBorrow;

template <class Record>
class SharedBorrow {
public:
    SharedBorrow(SharedBorrow&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    SharedBorrow(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (record_ != nullptr) {
            release_shared_borrow(record_->borrow_state());
        }
    }
    Record* operator->() const noexcept { return record_; }
    Record* get() const noexcept { return record_; }

    // The receiver: refusal is the RuntimeError "Already mutably borrowed".
    static Result<SharedBorrow> of_receiver(Record* record) {
        if (!try_shared_borrow(record->borrow_state())) {
            return receiver_borrow_refused();
        }
        return SharedBorrow(record);
    }

private:
    explicit SharedBorrow(Record* record) noexcept : record_(record) {}
    friend class ArgumentBorrow<Record>;
    Record* record_;
};

// A shared borrow of an argument, which also holds a reference to it for as
// long as the borrow lasts. Refusal is a panic.
template <class Record>
class ArgumentBorrow {
public:
    explicit ArgumentBorrow(Record* record)
        : reference_(OwnedRef::borrow(reinterpret_cast<PyObject*>(record))), borrow_(borrow_or_panic(record)) {}
    Record* operator->() const noexcept { return borrow_.get(); }
    Record* get() const noexcept { return borrow_.get(); }

private:
    static SharedBorrow<Record> borrow_or_panic(Record* record) {
        if (!try_shared_borrow(record->borrow_state())) {
            argument_borrow_refused();
        }
        return SharedBorrow<Record>(record);
    }

    OwnedRef reference_;  // released after the borrow, as declared first
    SharedBorrow<Record> borrow_;
};

}  // namespace quorvex
