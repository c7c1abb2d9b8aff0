// The answer of a check about the running interpreter, found at the check's
// first use and kept for the rest of the process.
//
// Every run of such a check finds the same, so threads that race to run it
// first only repeat it; a run that fails (for want of memory) leaves the
// answer to the next use.
#pragma once

#include <atomic>

#include "binding/error.hpp"

namespace quorvex {

class CheckedOnce {
public:
    // The kept answer, or check()'s (a Result<bool>) when none is kept yet.
    template <class Check>
    Result<bool> answer(Check&& check) {
        const State kept = state_.load(std::memory_order_relaxed);
        if (kept != State::unknown) {
            return kept == State::yes;
        }
        Result<bool> found = check();
        if (found.ok()) {
            state_.store(found.value() ? State::yes : State::no, std::memory_order_relaxed);
        }
        return found;
    }

private:
    enum class State : int { unknown, yes, no };
    std::atomic<State> state_{State::unknown};
};

}  // namespace quorvex
