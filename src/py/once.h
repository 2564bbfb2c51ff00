// GilOnce: a process-wide value built at most once, under the interpreter lock.
// A builder may release the lock (imports do), so a second thread can arrive while
// the value is under construction; it waits with the lock released so the builder
// can finish. A failed build is not remembered: the next caller tries again.
// Like the values it guards, a GilOnce is never torn down: a daemon thread may still
// be inside it while the process exits.
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
                std::unique_lock lock(sync_->mutex);
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
            std::unique_lock lock(sync_->mutex);
            sync_->changed.wait(lock, [this] { return state_ != State::Building; });
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
        std::lock_guard lock(sync_->mutex);
        return state_ == State::Ready;
    }

private:
    void finish(bool ok) {
        {
            std::lock_guard lock(sync_->mutex);
            state_ = ok ? State::Ready : State::Empty;
        }
        sync_->changed.notify_all();
    }

    enum class State { Empty, Building, Ready };
    struct Sync {
        std::mutex mutex;
        std::condition_variable changed;
    };
    Sync* sync_ = new Sync();  // never freed, so exit destroys nothing a thread may use
    State state_ = State::Empty;
    std::thread::id builder_;
};

}  // namespace vistrel::py
