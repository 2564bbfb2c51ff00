// Waits that can last long enough for a user to press Ctrl+C go back to the interpreter
// between slices, with the lock released during each: signal handlers run there, and
// what they raise (KeyboardInterrupt) ends the wait. Time-outs are the sum of the
// slices, never shorter. Call these with the interpreter lock held.
#pragma once

#include <cstdint>
#include <optional>

#include "duplication/frame.h"
#include "platform/os.h"
#include "src/capture/background.h"

namespace vistrel {

// The longest a wait stays away from the interpreter.
inline constexpr std::uint32_t kWaitSliceMs = 50;

// A wait of `timeout_ns` (none: without limit) that began at construction.
class SlicedWait {
public:
    explicit SlicedWait(std::optional<std::uint64_t> timeout_ns);
    // The next slice: at most kWaitSliceMs, and what is left rounded up to whole ms.
    std::uint32_t next_slice_ms() const;
    // Whether the whole wait has elapsed.
    bool over() const;

private:
    std::optional<os::Instant> deadline_;
};

// Runs the signal handlers; false with their exception set when one raised.
bool signal_handlers_passed();

// acquire_frame for up to `timeout_ms`. Nothing (exception set) when a signal handler
// raised. A lost duplication that was re-created ends the wait as no new frame, as a
// single acquisition does.
std::optional<Result<Acquired>> acquire_frame_interruptibly(DuplicationSession& session, std::uint32_t timeout_ms);

// acquire_frame_interruptibly for a capture method: true when a new frame was acquired;
// otherwise false with `result` set to what the method returns (None when no new frame
// came, null with the exception set on a failure or an interruption).
bool acquire_for_method(DuplicationSession& session, std::uint32_t timeout_ms, PyObject*& result);

// wait_for_frame for up to `timeout_ns` (none: without limit). Nothing (exception set)
// when a signal handler raised; a frame taken out of the slot is always returned.
std::optional<WaitOutcome> wait_for_frame_interruptibly(CaptureShared& shared, std::optional<std::uint64_t> timeout_ns);

// wait_until `due`, with the spin tail only in the last slice. False (exception set)
// when a signal handler raised.
bool wait_until_interruptibly(os::HighResTimer* timer, os::Instant due, std::uint64_t spin_ns);

}  // namespace vistrel
