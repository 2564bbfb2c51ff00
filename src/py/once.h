// GilOnce: a process-wide value built at most once, under the interpreter lock.
// A builder may release the lock (imports do), so a second thread can arrive while
// the value is under construction; it waits with the lock released so the builder
// can finish. A failed build is not remembered: the next caller tries again.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "src/py/gil.h"

namespace vistrel::py {

class GilOnce {
public:
    // Runs `build` (returning bool success) unless a build already succeeded.
    // Call with the interpreter lock held; returns whether the value is ready.
    template <class Build>
    bool ensure(Build&& build) {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (state_ == State::Ready) return true;
                if (state_ == State::Empty) {
                    state_ = State::Building;
                    builder_ = std::this_thread::get_id();
                    break;
                }
                // Re-entry from the builder itself cannot wait for itself.
                if (builder_ == std::this_thread::get_id()) return false;
            }
            ReleaseGil released;
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return state_ != State::Building; });
        }
        bool ok = false;
        try {
            ok = build();
        } catch (...) {
            finish(false);
            throw;
        }
        finish(ok);
        return ok;
    }

    bool ready() const {
        std::lock_guard lock(mutex_);
        return state_ == State::Ready;
    }

private:
    void finish(bool ok) {
        {
            std::lock_guard lock(mutex_);
            state_ = ok ? State::Ready : State::Empty;
        }
        changed_.notify_all();
    }

    enum class State { Empty, Building, Ready };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Empty;
    std::thread::id builder_;
};

}  // namespace vistrel::py
