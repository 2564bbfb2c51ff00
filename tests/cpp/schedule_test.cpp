// The pacing arithmetic, on the pure functions.
#include "src/pacing/schedule.h"

#include <gtest/gtest.h>

#include <vector>

#include "duplication/failure.h"

namespace vistrel {
namespace {

TEST(Schedule, PeriodsFromRates) {
    EXPECT_EQ(period_ns(1), 1000000000u);
    EXPECT_EQ(period_ns(30), 33333333u);
    EXPECT_EQ(period_ns(60), 16666666u);
    EXPECT_EQ(period_ns(144), 6944444u);
    EXPECT_EQ(period_ns(1000000000u), 1u);
    EXPECT_EQ(period_ns(1000000001u), 0u);
    EXPECT_EQ(period_ns(0), 0u);
}

TEST(Schedule, DueTimesAreExactMultiples) {
    const os::Instant start{100, 999999999};
    EXPECT_EQ(due_time(start, 0, 33333333), start);
    EXPECT_EQ(due_time(start, 1, 33333333), (os::Instant{101, 33333332}));
    EXPECT_EQ(due_time(start, 30, 33333333), (os::Instant{101, 999999989}));
    EXPECT_EQ(due_time(start, 3000000, 1000000000), (os::Instant{3000100, 999999999}));
    EXPECT_THROW(due_time(start, UINT64_MAX, 2), InternalFault);
    try {
        due_time(start, UINT64_MAX, 2);
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "overflow when multiplying duration by scalar");
    }
    try {
        add_ns({UINT64_MAX, 0}, 1000000000u);
        ADD_FAILURE();
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "overflow when adding duration to instant");
    }
    EXPECT_EQ(nanos_between({5, 10}, {4, 999999990}), -20);
}

TEST(Schedule, PacingDoesNotBurstAfterALateIteration) {
    const std::uint64_t period = 16666666;
    // On time: the next deadline is one period on, and the wait is what is left of it.
    PaceStep on_time = next_pace({10, 0}, period, {10, 5000000});
    EXPECT_EQ(on_time.deadline, (os::Instant{10, 16666666}));
    EXPECT_EQ(on_time.wait_ns, 11666666u);
    // Late by several periods: the schedule restarts now, with no wait and no catch-up.
    PaceStep late = next_pace({10, 0}, period, {10, 100000000});
    EXPECT_EQ(late.deadline, (os::Instant{10, 100000000}));
    EXPECT_EQ(late.wait_ns, 0u);
    PaceStep after = next_pace(late.deadline, period, {10, 100000001});
    EXPECT_EQ(after.deadline, (os::Instant{10, 116666666}));
    EXPECT_EQ(after.wait_ns, 16666665u);
    // Exactly at the deadline counts as late.
    EXPECT_EQ(next_pace({1, 0}, period, {1, 16666666}).wait_ns, 0u);
}

TEST(Schedule, CapturesForSlotsFallJustBeforeEachSlotAndKeepTheSchedule) {
    const std::uint64_t period = 33333333, lead = 4000000;
    // Before the schedule starts: until the lead before slot 0.
    EXPECT_EQ(wait_for_next_slot({10, 0}, period, lead, {9, 990000000}), 6000000u);
    // Right after a capture for slot 1 (due at 33.3 ms, captured from 29.3 ms on): slot 2's.
    EXPECT_EQ(wait_for_next_slot({10, 0}, period, lead, {10, 30000000}), 32666666u);
    // Inside the lead of slot 1: too late for it, so slot 2's.
    EXPECT_EQ(wait_for_next_slot({10, 0}, period, lead, {10, 31000000}), 31666666u);
    // An overrun of many slots goes to the next slot of the same schedule, not to now.
    EXPECT_EQ(wait_for_next_slot({10, 0}, period, lead, {10, 500000000}), 29333328u);  // slot 16, at 533.3 ms
}

TEST(Schedule, TimerDueTimesAndWaitLimits) {
    EXPECT_FALSE(timer_due_100ns(99));
    EXPECT_EQ(timer_due_100ns(100), -1);
    EXPECT_EQ(timer_due_100ns(16666666), -166666);
    EXPECT_EQ(wait_limit_ms({1, 0}, std::nullopt), os::kInfinite);
    EXPECT_EQ(wait_limit_ms({1, 0}, os::Instant{1, 999999}), 0u);
    EXPECT_EQ(wait_limit_ms({1, 0}, os::Instant{2, 500000000}), 1500u);
    EXPECT_FALSE(wait_limit_ms({2, 0}, os::Instant{2, 0}));
    EXPECT_EQ(wait_limit_ms({0, 0}, os::Instant{5000000, 0}), os::kInfinite);  // above 4294967294 ms
}

// Records what the pacing asks of a timer.
class RecordingTimer : public os::HighResTimer {
public:
    bool arm(std::int64_t due_100ns) override {
        armed.push_back(due_100ns);
        return arm_succeeds;
    }
    void wait() override { ++waits; }

    std::vector<std::int64_t> armed;
    int waits = 0;
    bool arm_succeeds = true;
};

TEST(Schedule, TimerIsArmedInHundredNanosecondUnits) {
    RecordingTimer timer;
    wait_remaining(&timer, 99);  // below 100 ns: not worth a wait
    wait_remaining(&timer, 0);
    EXPECT_TRUE(timer.armed.empty());
    wait_remaining(&timer, 16666666);
    EXPECT_EQ(timer.armed, std::vector<std::int64_t>{-166666});
    EXPECT_EQ(timer.waits, 1);
    // Arming failed: the ordinary sleep waits instead, so nothing is served early.
    timer.arm_succeeds = false;
    const os::Instant before = os::now();
    wait_remaining(&timer, 20000000);
    EXPECT_EQ(timer.waits, 1);
    EXPECT_GE(nanos_between(before, os::now()), 20000000);
}

TEST(Schedule, RealWaitsLastTheirTime) {
    auto timer = os::HighResTimer::create();
    ASSERT_TRUE(timer);
    for (os::HighResTimer* t : {timer.get(), static_cast<os::HighResTimer*>(nullptr)}) {
        os::Instant before = os::now();
        wait_remaining(t, 20000000);
        std::int64_t waited = nanos_between(before, os::now());
        EXPECT_GE(waited, 20000000);
        EXPECT_LT(waited, 500000000);
    }
}

}  // namespace
}  // namespace vistrel
