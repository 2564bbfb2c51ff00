// Time arithmetic of the pacing: periods from rates, deadlines on the monotonic clock,
// and the waits to them. Pure functions except wait_remaining.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/os.h"

namespace vistrel {

constexpr std::uint64_t kNanosPerSecond = 1000000000u;

// One second divided by `rate`, rounded down to whole nanoseconds (0 above 1e9 per second).
constexpr std::uint64_t period_ns(std::uint32_t rate) { return rate == 0 ? 0 : kNanosPerSecond / rate; }

// `t` + `ns`; an overflow is an internal fault.
os::Instant add_ns(os::Instant t, std::uint64_t ns);
// `b` - `a` in nanoseconds (negative when b is earlier).
std::int64_t nanos_between(os::Instant a, os::Instant b);
// Slot k's due time: start + k x period; overflows are internal faults.
os::Instant due_time(os::Instant start, std::uint64_t k, std::uint64_t period);

// The timer's relative due time for a wait of `remaining_ns`: -floor(remaining / 100 ns),
// or nothing for a wait below 100 ns (not worth arming).
std::optional<std::int64_t> timer_due_100ns(std::uint64_t remaining_ns);

// One pacing step after an iteration: the next deadline one period on; if that is not
// later than `now`, the schedule restarts at `now` and nothing is waited (no burst to
// make up missed periods).
struct PaceStep {
    os::Instant deadline;
    std::uint64_t wait_ns = 0;  // 0: do not wait
};
PaceStep next_pace(os::Instant deadline, std::uint64_t period, os::Instant now);

// For a thread that captures for the slots of a schedule starting at `start`: how long to
// wait from `now` until `lead_ns` before the next slot that is more than `lead_ns` away, so
// each capture is ready when its slot falls due. A capture that overran a slot goes to the
// next one: the schedule is kept, not restarted.
std::uint64_t wait_for_next_slot(os::Instant start, std::uint64_t period, std::uint64_t lead_ns, os::Instant now);

// Waits `remaining_ns` on the timer (armed in 100-ns units), or with the ordinary sleep
// when there is no timer or it cannot be armed. Waits below 100 ns are skipped.
void wait_remaining(os::HighResTimer* timer, std::uint64_t remaining_ns);

// Waits until `due` on the monotonic clock: the timer (or the ordinary sleep) takes all
// but the last `spin_ns`, which is spent polling the clock, so the return is not late by
// the timer's wake-up latency.
void wait_until(os::HighResTimer* timer, os::Instant due, std::uint64_t spin_ns);

// WaitForSingleObject's limit for a wait until `deadline` (none: without limit): whole
// milliseconds rounded down, kInfinite above 4294967294. Nothing when the deadline has passed.
std::optional<std::uint32_t> wait_limit_ms(os::Instant now, std::optional<os::Instant> deadline);

}  // namespace vistrel
