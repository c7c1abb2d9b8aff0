// One-time initialisation that waits without the interpreter lock.
//
// A thread that must wait for another thread's one-time work cannot hold the
// interpreter lock while it waits: the other thread may need the lock to
// finish. So the caller gives the lock up (saving its frame count, which is
// 0 while the lock is not held), runs or waits for the work, and takes the
// lock back. The work itself runs with the lock held.
//
// Taking the lock back is not left to destructors. At interpreter exit
// PyEval_RestoreThread ends a daemon thread with a forced unwind, and a
// destructor that starts an unwind (or one that runs while a panic unwinds)
// terminates the process. So the lock is taken back in plain code and in
// handlers, which may start an unwind, and a forced unwind passes through
// untouched: the thread it ends holds no lock to give back.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <mutex>

#include "binding/frame.hpp"
#include "binding/thread_exit.hpp"

namespace quorvex {

// The calling thread's hold on the interpreter lock, given up and taken back.
class GilHold {
public:
    void release() noexcept {
        saved_depth_ = frame_depth;
        thread_ = PyEval_SaveThread();
        frame_depth = 0;
    }
    void reacquire() {
        PyEval_RestoreThread(thread_);
        frame_depth = saved_depth_;
    }

private:
    std::intptr_t saved_depth_ = 0;
    PyThreadState* thread_ = nullptr;
};

namespace released_gil_detail {

// Runs `work` with the lock taken back, and gives it up again however `work`
// ends, unless the interpreter is ending the thread.
template <class Work>
QUORVEX_CATCHES_FORCED_UNWIND void run_holding(GilHold& hold, Work& work) {
    hold.reacquire();
    try {
        work();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        hold.release();
        throw;
    }
    hold.release();
}

}  // namespace released_gil_detail

// Runs `work` once per `flag`, with the interpreter lock held, waiting for
// another thread's run without the lock. If `work` throws, the flag stays
// unset (the next caller runs it again) and the exception propagates with
// the lock held again.
template <class Work>
QUORVEX_CATCHES_FORCED_UNWIND void call_once_without_gil(std::once_flag& flag, Work&& work) {
    GilHold hold;
    hold.release();
    try {
        std::call_once(flag, [&] { released_gil_detail::run_holding(hold, work); });
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        hold.reacquire();
        throw;
    }
    hold.reacquire();
}

}  // namespace quorvex
