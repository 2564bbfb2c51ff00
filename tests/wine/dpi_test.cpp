// DPI awareness through calls the module looks up at run time: the process-wide switch
// takes effect once, and the thread scope switches the calling thread and gives its
// previous awareness back, also when nested.
#include <gtest/gtest.h>

#include <thread>

#include "platform/os.h"

namespace vistrel {
namespace {

DPI_AWARENESS thread_awareness() { return GetAwarenessFromDpiAwarenessContext(GetThreadDpiAwarenessContext()); }

TEST(Dpi, ProcessSwitchHoldsOnceAndNewThreadsInheritIt) {
    (void)os::set_process_dpi_awareness();
    EXPECT_FALSE(os::set_process_dpi_awareness());  // fixed by the first call
    DPI_AWARENESS fresh_thread = DPI_AWARENESS_INVALID;
    std::thread([&] { fresh_thread = thread_awareness(); }).join();
    EXPECT_EQ(fresh_thread, DPI_AWARENESS_PER_MONITOR_AWARE);
}

TEST(Dpi, ThreadScopeOverridesAHostsChoiceAndRestoresIt) {
    // What a host that chose no awareness leaves on its threads.
    DPI_AWARENESS_CONTEXT host = SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_UNAWARE);
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(thread_awareness(), DPI_AWARENESS_UNAWARE);
    {
        os::ThreadDpiAwareness outer;
        EXPECT_EQ(thread_awareness(), DPI_AWARENESS_PER_MONITOR_AWARE);
        {
            os::ThreadDpiAwareness inner;
            EXPECT_EQ(thread_awareness(), DPI_AWARENESS_PER_MONITOR_AWARE);
        }
        EXPECT_EQ(thread_awareness(), DPI_AWARENESS_PER_MONITOR_AWARE);
    }
    EXPECT_EQ(thread_awareness(), DPI_AWARENESS_UNAWARE);
    SetThreadDpiAwarenessContext(host);
}

}  // namespace
}  // namespace vistrel
