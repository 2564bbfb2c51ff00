// The os layer through its interface only, so that one source tests every
// implementation: os_posix.cpp on Linux, os_win32.cpp on Windows and under Wine.
// Waits are checked for never ending early; their lateness only has loose bounds,
// because a loaded machine (or Wine) may be late by milliseconds.
#include "platform/os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "tests/cpp/os_test_support.h"
#include "tests/cpp/under_wine.h"

namespace vistrel {
namespace {

constexpr std::int64_t kMs = 1000000;
// Far beyond any scheduling delay, far below a hang.
constexpr std::int64_t kLooseBound = 2000 * kMs;

std::int64_t nanos_since(const os::Instant& start) {
    const os::Instant end = os::now();
    return static_cast<std::int64_t>(end.seconds - start.seconds) * 1000000000 +
           (static_cast<std::int64_t>(end.nanos) - static_cast<std::int64_t>(start.nanos));
}

std::int64_t percentile(std::vector<std::int64_t> values, int p) {
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) * static_cast<std::size_t>(p) / 100];
}

TEST(OsEvent, TimeoutIsNeverEarly) {
    auto event = os::AutoResetEvent::create();
    ASSERT_TRUE(event);
    for (std::uint32_t ms : {1u, 15u, 40u}) {
        const os::Instant start = os::now();
        event->wait(ms);
        const std::int64_t waited = nanos_since(start);
        EXPECT_GE(waited, ms * kMs) << ms << " ms";
        EXPECT_LT(waited, kLooseBound);
    }
}

TEST(OsEvent, OneSetReleasesOneWait) {
    auto event = os::AutoResetEvent::create();
    ASSERT_TRUE(event);
    // Two sets before any wait still release a single wait: the event does not count.
    event->set();
    event->set();
    os::Instant start = os::now();
    event->wait(5000);
    EXPECT_LT(nanos_since(start), kLooseBound);
    start = os::now();
    event->wait(30);
    EXPECT_GE(nanos_since(start), 30 * kMs);
    // A zero wait consumes a pending set too.
    event->set();
    event->wait(0);
    start = os::now();
    event->wait(20);
    EXPECT_GE(nanos_since(start), 20 * kMs);
}

TEST(OsEvent, SetFromAnotherThreadWakesAnInfiniteWait) {
    auto event = os::AutoResetEvent::create();
    ASSERT_TRUE(event);
    std::atomic<bool> set_done{false};
    auto setter = os::Thread::start([&] {
        os::sleep_for_ns(30 * kMs);
        set_done = true;
        event->set();
    });
    ASSERT_TRUE(setter);
    const os::Instant start = os::now();
    event->wait(os::kInfinite);
    EXPECT_TRUE(set_done);
    EXPECT_GE(nanos_since(start), 25 * kMs);
    EXPECT_TRUE(setter->join());
}

// Arms for `ms` milliseconds, waits, and returns how long the wait took.
std::int64_t timed_wait(os::HighResTimer& timer, std::int64_t ms) {
    const os::Instant start = os::now();
    EXPECT_TRUE(timer.arm(-ms * 10000));
    timer.wait();
    return nanos_since(start);
}

TEST(OsTimer, NeverEarlyAndLatenessFigures) {
    auto timer = os::HighResTimer::create();
    ASSERT_TRUE(timer);
    std::vector<std::int64_t> lateness;
    for (int i = 0; i < 60; ++i) {
        const std::int64_t due = (1 + i % 5) * kMs;
        const std::int64_t waited = timed_wait(*timer, due / kMs);
        ASSERT_GE(waited, due) << "wait " << i << " ended early";
        EXPECT_LT(waited, kLooseBound);
        lateness.push_back(waited - due);
    }
    const double p50 = static_cast<double>(percentile(lateness, 50)) / kMs;
    const double p99 = static_cast<double>(percentile(lateness, 99)) / kMs;
    std::printf("timer lateness over %zu waits of 1-5 ms: p50 %.3f ms, p99 %.3f ms\n", lateness.size(), p50, p99);
    ::testing::Test::RecordProperty("lateness_p50_us", static_cast<int>(p50 * 1000));
    ::testing::Test::RecordProperty("lateness_p99_us", static_cast<int>(p99 * 1000));
}

TEST(OsTimer, ArmingAgainReplacesTheDueTime) {
    auto timer = os::HighResTimer::create();
    ASSERT_TRUE(timer);
    // A later due time is not cut short by the earlier one...
    ASSERT_TRUE(timer->arm(-10 * 10000));
    const os::Instant start = os::now();
    ASSERT_TRUE(timer->arm(-60 * 10000));
    timer->wait();
    EXPECT_GE(nanos_since(start), 60 * kMs);
    // ...and an earlier one is not held back by the later.
    const os::Instant again = os::now();
    ASSERT_TRUE(timer->arm(-5000 * 10000));
    ASSERT_TRUE(timer->arm(-20 * 10000));
    timer->wait();
    const std::int64_t waited = nanos_since(again);
    EXPECT_GE(waited, 20 * kMs);
    EXPECT_LT(waited, kLooseBound);
}

TEST(OsTimer, FallbackSleepIsNeverEarly) {
    for (std::int64_t ns : {1 * kMs, 7 * kMs + 300000, 30 * kMs}) {
        const os::Instant start = os::now();
        os::sleep_for_ns(static_cast<std::uint64_t>(ns));
        const std::int64_t slept = nanos_since(start);
        EXPECT_GE(slept, ns);
        EXPECT_LT(slept, kLooseBound);
    }
}

// Uses `bytes` of stack, so that a thread with less than that dies instead of passing.
void use_stack(std::size_t bytes) {
    volatile unsigned char block[64 * 1024];
    block[0] = 1;
    block[sizeof block - 1] = 2;
    if (bytes > sizeof block) use_stack(bytes - sizeof block);
    block[1] = block[0];
}

TEST(OsThread, JoinTellsWhetherTheBodyCompleted) {
    std::atomic<int> ran{0};
    auto completes = os::Thread::start([&] { ++ran; });
    auto throws = os::Thread::start([&] {
        ++ran;
        throw std::runtime_error("body failed");
    });
    ASSERT_TRUE(completes);
    ASSERT_TRUE(throws);
    EXPECT_TRUE(completes->join());
    EXPECT_FALSE(throws->join());
    EXPECT_EQ(ran, 2);
    // Asking again gives the same answer.
    EXPECT_TRUE(completes->join());
    EXPECT_FALSE(throws->join());
}

TEST(OsThread, HasTwoMebibytesOfStack) {
    auto deep = os::Thread::start([] { use_stack(1536 * 1024); });
    ASSERT_TRUE(deep);
    EXPECT_TRUE(deep->join());
}

TEST(OsThread, AThreadNotJoinedRunsToItsEnd) {
    auto done = os::AutoResetEvent::create();
    ASSERT_TRUE(done);
    std::atomic<bool> finished{false};
    {
        auto thread = os::Thread::start([&] {
            os::sleep_for_ns(20 * kMs);
            finished = true;
            done->set();
        });
        ASSERT_TRUE(thread);
    }  // dropped while its body still sleeps
    done->wait(10000);
    EXPECT_TRUE(finished);
}

TEST(OsClock, MonotonicAndInStep) {
    os::Instant previous = os::now();
    for (int i = 0; i < 100000; ++i) {
        const os::Instant t = os::now();
        ASSERT_LT(t.nanos, 1000000000u);
        ASSERT_GE(t, previous);
        previous = t;
    }
    // Agrees with the standard library's steady clock over a sleep.
    const auto steady_start = std::chrono::steady_clock::now();
    const os::Instant start = os::now();
    os::sleep_for_ns(50 * kMs);
    const std::int64_t measured = nanos_since(start);
    const std::int64_t steady =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - steady_start).count();
    EXPECT_GE(measured, 50 * kMs);
    EXPECT_LE(measured, steady + kMs);
}

TEST(OsHandle, DuplicateOutlivesTheOriginal) {
    os::KernelHandle original = test::open_test_handle();
    ASSERT_TRUE(original);
    std::uint32_t error = 0;
    os::KernelHandle copy(os::duplicate_handle(original.get(), error));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), original.get());
    original.reset();
    EXPECT_TRUE(test::handle_is_open(copy.get()));
    HANDLE closed = copy.get();
    copy.reset();
    EXPECT_FALSE(test::handle_is_open(closed));
    // A handle that is no longer open cannot be duplicated: ERROR_INVALID_HANDLE.
    EXPECT_EQ(os::duplicate_handle(closed, error), nullptr);
    EXPECT_EQ(error, 6u);
}

// What FormatMessageW says for these codes, on Windows and in Wine's English texts.
struct SystemText {
    HRESULT code;
    const char* windows;
    const char* wine;
};

TEST(OsMessageText, SystemTextWithoutErrorInformation) {
    const SystemText texts[] = {
        {E_INVALIDARG, "The parameter is incorrect.", "Invalid parameter."},
        {E_NOTIMPL, "Not implemented", "Not implemented."},
        {S_OK, "The operation completed successfully.", "Success."},
    };
    for (const SystemText& t : texts)
        EXPECT_EQ(os::system_message_text(t.code, nullptr), test::under_wine() ? t.wine : t.windows);
    // A code nobody knows has no text.
    EXPECT_EQ(os::system_message_text(static_cast<HRESULT>(0x8ABCDEF0u), nullptr), "");
}

TEST(OsMessageText, ErrorInformationIsTakenOnceAndPreferred) {
    test::set_thread_error_description(u"No desktop here.\r\n\t ");
    ComPtr<IErrorInfo> info = os::take_error_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(os::system_message_text(E_INVALIDARG, info.get()), "No desktop here.");
    EXPECT_FALSE(os::take_error_info());
    // An empty description gives the empty text, not the system's.
    test::set_thread_error_description(u"");
    info = os::take_error_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(os::system_message_text(E_INVALIDARG, info.get()), "");
    // Non-ASCII text arrives as UTF-8.
    test::set_thread_error_description(u"caf\u00e9 \U0001F600");
    info = os::take_error_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(os::system_message_text(E_FAIL, info.get()), "caf\xc3\xa9 \xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace vistrel
