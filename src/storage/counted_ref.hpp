// Shared ownership of immutable storage blocks through an intrusive count.
//
// A holder (ValueArray, KeyIndex) embeds a RefCount and exposes
//     void retain() const noexcept;   // one more owner
//     void release() const noexcept;  // one owner fewer; frees the holder at zero
// CountedRef<T> is one owner: moving transfers it, share() makes another,
// destruction or reset() gives it up. There is no copy constructor so that a
// new count is always visible in the code as share().
//
// The count lives inside the holder's own allocation, so a reference is one
// pointer wide and can be parked in a C object record (leak) and turned back
// into an owner later (adopt) without any side table.
//
// Counting follows the usual rule for shared immutable data: increments are
// relaxed (a new owner is made from an existing one, which already keeps the
// holder alive); decrements are acq_rel so the thread that frees the holder
// sees every other owner's writes, and a count of one read with acquire lets
// the sole owner write in place.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace quorvex {

class RefCount {
public:
    RefCount() noexcept = default;
    RefCount(const RefCount&) = delete;
    RefCount& operator=(const RefCount&) = delete;

    void increment() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }

    // True when this was the last owner.
    bool decrement() noexcept { return count_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

private:
    std::atomic<std::size_t> count_{1};  // the creator is the first owner
};

template <class T>
class CountedRef {
public:
    CountedRef() noexcept = default;

    // Takes over one count the caller already holds on `holder`.
    static CountedRef adopt(T* holder) noexcept {
        CountedRef ref;
        ref.holder_ = holder;
        return ref;
    }

    // A new owner of the same holder (empty if this is empty).
    CountedRef share() const noexcept {
        if (holder_ != nullptr) {
            holder_->retain();
        }
        return adopt(holder_);
    }

    CountedRef(CountedRef&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}

    CountedRef& operator=(CountedRef&& other) noexcept {
        if (this != &other) {
            T* previous = std::exchange(holder_, std::exchange(other.holder_, nullptr));
            if (previous != nullptr) {
                previous->release();
            }
        }
        return *this;
    }

    CountedRef(const CountedRef&) = delete;
    CountedRef& operator=(const CountedRef&) = delete;

    ~CountedRef() { reset(); }

    T* get() const noexcept { return holder_; }
    T* operator->() const noexcept { return holder_; }
    T& operator*() const noexcept { return *holder_; }
    explicit operator bool() const noexcept { return holder_ != nullptr; }

    // Gives up ownership without releasing; the count travels with the pointer.
    [[nodiscard]] T* leak() noexcept { return std::exchange(holder_, nullptr); }

    void reset() noexcept {
        if (T* previous = std::exchange(holder_, nullptr)) {
            previous->release();
        }
    }

private:
    T* holder_ = nullptr;
};

}  // namespace quorvex
