// Shared borrows of an instance's borrow flag.
//
// Every body reads an instance only under a shared borrow, and every borrow
// is a guard, so it is released on every way out of the body: return, error
// or panic. Nothing in the module takes an exclusive borrow, so any number of
// shared borrows coexist (a method may receive the same instance as self and
// as `other`). An exclusive mark can only come from outside; it refuses the
// receiver with a RuntimeError and `other` with a panic.
#pragma once

#include <cstddef>
#include <utility>

#include "binding/error.hpp"
#include "lib/quordict_object.hpp"

namespace quorvex {

constexpr std::size_t exclusively_borrowed = ~std::size_t{0};

bool try_shared_borrow(QuorDictObject* instance) noexcept;
void release_shared_borrow(QuorDictObject* instance) noexcept;

class SharedBorrow {
public:
    SharedBorrow(SharedBorrow&& other) noexcept : instance_(std::exchange(other.instance_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    SharedBorrow(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (instance_ != nullptr) {
            release_shared_borrow(instance_);
        }
    }
    QuorDictObject* operator->() const noexcept { return instance_; }
    QuorDictObject* get() const noexcept { return instance_; }

    // The receiver: refusal is the RuntimeError "Already mutably borrowed".
    static Result<SharedBorrow> of_receiver(QuorDictObject* instance);

private:
    explicit SharedBorrow(QuorDictObject* instance) noexcept : instance_(instance) {}
    friend class ArgumentBorrow;
    QuorDictObject* instance_;
};

// A shared borrow of an argument instance, which also holds a reference to
// it for as long as the borrow lasts. Refusal is a panic.
class ArgumentBorrow {
public:
    explicit ArgumentBorrow(QuorDictObject* instance);
    QuorDictObject* operator->() const noexcept { return borrow_.get(); }
    QuorDictObject* get() const noexcept { return borrow_.get(); }

private:
    OwnedRef reference_;  // released after the borrow, as declared first
    SharedBorrow borrow_;
};

}  // namespace quorvex
