#include "src/capture/interruptible.h"

#include <algorithm>
#include <variant>

#include "src/errors.h"
#include "src/pacing/schedule.h"
#include "src/py/gil.h"

namespace vistrel {
namespace {

constexpr std::uint64_t kNanosPerMs = 1000000u;
constexpr std::uint64_t kSliceNs = std::uint64_t{kWaitSliceMs} * kNanosPerMs;

}  // namespace

SlicedWait::SlicedWait(std::optional<std::uint64_t> timeout_ns) {
    if (timeout_ns) deadline_ = add_ns(os::now(), *timeout_ns);
}

std::uint32_t SlicedWait::next_slice_ms() const {
    if (!deadline_) return kWaitSliceMs;
    const std::int64_t left = nanos_between(os::now(), *deadline_);
    if (left <= 0) return 0;
    const std::uint64_t ms = (static_cast<std::uint64_t>(left) + kNanosPerMs - 1) / kNanosPerMs;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, kWaitSliceMs));
}

bool SlicedWait::over() const { return deadline_ && os::now() >= *deadline_; }

bool signal_handlers_passed() { return PyErr_CheckSignals() == 0; }

std::optional<Result<Acquired>> acquire_frame_interruptibly(DuplicationSession& session, std::uint32_t timeout_ms) {
    SlicedWait wait(std::uint64_t{timeout_ms} * kNanosPerMs);
    const std::uint64_t generation = session.duplication_generation;
    for (;;) {
        std::optional<Result<Acquired>> acquired;
        {
            py::ReleaseGil released;
            acquired.emplace(acquire_frame(session, wait.next_slice_ms()));
        }
        if (!*acquired || acquired->value() == Acquired::NewFrame) return acquired;
        if (wait.over() || session.duplication_generation != generation) return acquired;
        if (!signal_handlers_passed()) return std::nullopt;
    }
}

bool acquire_for_method(DuplicationSession& session, std::uint32_t timeout_ms, PyObject*& result) {
    result = nullptr;
    auto acquired = acquire_frame_interruptibly(session, timeout_ms);
    if (!acquired) return false;
    if (!*acquired) {
        raise_failure(acquired->take_failure());
        return false;
    }
    if (acquired->value() == Acquired::NewFrame) return true;
    Py_INCREF(Py_None);
    result = Py_None;
    return false;
}

std::optional<WaitOutcome> wait_for_frame_interruptibly(CaptureShared& shared,
                                                        std::optional<std::uint64_t> timeout_ns) {
    SlicedWait wait(timeout_ns);
    for (;;) {
        std::optional<WaitOutcome> outcome;
        {
            py::ReleaseGil released;
            outcome.emplace(wait_for_frame(shared, std::uint64_t{wait.next_slice_ms()} * kNanosPerMs));
        }
        auto* failure = std::get_if<Failure>(&*outcome);
        const bool slice_ended = failure && failure->kind() == Failure::Kind::DeadlineExpired;
        if (!slice_ended || wait.over()) return outcome;
        if (!signal_handlers_passed()) return std::nullopt;
    }
}

bool wait_until_interruptibly(os::HighResTimer* timer, os::Instant due, std::uint64_t spin_ns) {
    for (;;) {
        const os::Instant now = os::now();
        if (nanos_between(now, due) <= static_cast<std::int64_t>(kSliceNs)) {
            py::ReleaseGil released;
            wait_until(timer, due, spin_ns);
            return true;
        }
        {
            py::ReleaseGil released;
            wait_until(timer, add_ns(now, kSliceNs), 0);
        }
        if (!signal_handlers_passed()) return false;
    }
}

}  // namespace vistrel
