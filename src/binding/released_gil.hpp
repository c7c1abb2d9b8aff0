// One-time initialisation that waits without the interpreter lock.
//
// A thread that must wait for another thread's one-time work cannot hold the
// interpreter lock while it waits: the other thread may need the lock to
// finish. So the caller gives the lock up (saving its frame count, which is
// 0 while the lock is not held), runs or waits for the work, and takes the
// lock back. The work itself runs with the lock held. Both steps are guards,
// so a panic inside the work leaves the lock and the count as they were.
#pragma once

#include <cstdint>
#include <mutex>

#include "binding/frame.hpp"

namespace quorvex {

class ReleasedGil {
public:
    ReleasedGil() : saved_depth_(frame_depth), thread_(PyEval_SaveThread()) { frame_depth = 0; }
    ~ReleasedGil() {
        PyEval_RestoreThread(thread_);
        frame_depth = saved_depth_;
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // Holds the lock again for the duration of a piece of work.
    class Reacquired {
    public:
        explicit Reacquired(ReleasedGil& released) : released_(released) {
            PyEval_RestoreThread(released_.thread_);
            frame_depth = released_.saved_depth_;
        }
        ~Reacquired() {
            frame_depth = 0;
            released_.thread_ = PyEval_SaveThread();
        }
        Reacquired(const Reacquired&) = delete;
        Reacquired& operator=(const Reacquired&) = delete;

    private:
        ReleasedGil& released_;
    };

private:
    std::intptr_t saved_depth_;
    PyThreadState* thread_;
};

// Runs `work` once per `flag`, with the interpreter lock held, waiting for
// another thread's run without the lock.
template <class Work>
void call_once_without_gil(std::once_flag& flag, Work&& work) {
    ReleasedGil released;
    std::call_once(flag, [&] {
        ReleasedGil::Reacquired held(released);
        work();
    });
}

}  // namespace quorvex
