#include "platform/x11/forks.h"

#include <pthread.h>

#include <atomic>

namespace vistrel::x11 {
namespace {

std::atomic<std::uint64_t> g_generation{0};

void entered_child() { g_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() {
    // Registered before any value is handed out, so none is read on the wrong side unseen.
    static const bool registered = pthread_atfork(nullptr, nullptr, entered_child) == 0;
    (void)registered;
    return g_generation.load(std::memory_order_relaxed);
}

}  // namespace vistrel::x11
