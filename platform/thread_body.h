// What a thread started by os::Thread runs, shared by the thread and its owner: the body,
// and whether it ran to its end. The thread holds its own reference, so a detached
// thread may outlive its owner.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace vistrel::os {

struct ThreadBody {
    std::function<void()> body;
    std::atomic<bool> completed{false};
};

// A heap reference for the new thread; run_thread_body consumes it.
inline void* thread_argument(const std::shared_ptr<ThreadBody>& body) { return new std::shared_ptr<ThreadBody>(body); }

// Takes back the reference of a thread that could not be started.
inline void drop_thread_argument(void* argument) { delete static_cast<std::shared_ptr<ThreadBody>*>(argument); }

// The thread's entry: runs the body inside a catch-all, so an exception ends only the
// thread, and the owner's join sees that the body did not complete. A forced unwind
// (the thread being cancelled or exited) must go on: swallowing it aborts the process.
inline void run_thread_body(void* argument) {
    std::unique_ptr<std::shared_ptr<ThreadBody>> reference(static_cast<std::shared_ptr<ThreadBody>*>(argument));
    ThreadBody& shared = **reference;
    try {
        shared.body();
        shared.completed = true;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
    }
}

}  // namespace vistrel::os
