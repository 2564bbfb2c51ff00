#include "src/pacing/schedule.h"

#include <limits>

#include "duplication/failure.h"

namespace vistrel {

os::Instant add_ns(os::Instant t, std::uint64_t ns) {
    const std::uint64_t seconds = ns / kNanosPerSecond;
    std::uint64_t nanos = t.nanos + ns % kNanosPerSecond;
    std::uint64_t carry = nanos / kNanosPerSecond;
    if (t.seconds > std::numeric_limits<std::uint64_t>::max() - seconds - carry)
        throw InternalFault("overflow when adding duration to instant");
    return {t.seconds + seconds + carry, static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

std::int64_t nanos_between(os::Instant a, os::Instant b) {
    return (static_cast<std::int64_t>(b.seconds) - static_cast<std::int64_t>(a.seconds)) *
               static_cast<std::int64_t>(kNanosPerSecond) +
           (static_cast<std::int64_t>(b.nanos) - static_cast<std::int64_t>(a.nanos));
}

os::Instant due_time(os::Instant start, std::uint64_t k, std::uint64_t period) {
    if (period != 0 && k > std::numeric_limits<std::uint64_t>::max() / period)
        throw InternalFault("overflow when multiplying duration by scalar");
    return add_ns(start, k * period);
}

std::optional<std::int64_t> timer_due_100ns(std::uint64_t remaining_ns) {
    if (remaining_ns < 100) return std::nullopt;
    return -static_cast<std::int64_t>(remaining_ns / 100);
}

PaceStep next_pace(os::Instant deadline, std::uint64_t period, os::Instant now) {
    os::Instant next = add_ns(deadline, period);
    if (next <= now) return {now, 0};
    return {next, static_cast<std::uint64_t>(nanos_between(now, next))};
}

std::uint64_t wait_for_next_slot(os::Instant start, std::uint64_t period, std::uint64_t lead_ns, os::Instant now) {
    const std::int64_t ahead = nanos_between(now, start) - static_cast<std::int64_t>(lead_ns);
    if (ahead > 0) return static_cast<std::uint64_t>(ahead);
    if (period == 0) return 0;
    const std::uint64_t into = static_cast<std::uint64_t>(-ahead);  // since the first capture time
    return period - into % period;
}

void wait_remaining(os::HighResTimer* timer, std::uint64_t remaining_ns) {
    if (remaining_ns == 0) return;
    if (!timer) {
        os::sleep_for_ns(remaining_ns);
        return;
    }
    auto due = timer_due_100ns(remaining_ns);
    if (!due) return;
    if (timer->arm(*due)) {
        timer->wait();
    } else {
        // Not waiting would serve a slot early, or let a paced thread run unpaced.
        os::sleep_for_ns(remaining_ns);
    }
}

void wait_until(os::HighResTimer* timer, os::Instant due, std::uint64_t spin_ns) {
    std::int64_t remaining = nanos_between(os::now(), due);
    if (remaining <= 0) return;
    if (static_cast<std::uint64_t>(remaining) > spin_ns)
        wait_remaining(timer, static_cast<std::uint64_t>(remaining) - spin_ns);
    while (os::now() < due) {
    }
}

std::optional<std::uint32_t> wait_limit_ms(os::Instant now, std::optional<os::Instant> deadline) {
    if (!deadline) return os::kInfinite;
    if (now >= *deadline) return std::nullopt;
    const std::uint64_t ms = static_cast<std::uint64_t>(nanos_between(now, *deadline)) / 1000000u;
    return ms > 4294967294u ? os::kInfinite : static_cast<std::uint32_t>(ms);
}

}  // namespace vistrel
