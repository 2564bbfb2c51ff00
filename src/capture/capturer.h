// The Capturer: the record behind the Python class, its state transitions, and the
// methods the capture files add to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "duplication/device.h"
#include "src/capture/background.h"
#include "src/capture/lifecycle.h"
#include "src/convert/region.h"
#include "src/py/binding.h"
#include "src/py/bound_class.h"
#include "src/py/python.h"

namespace vistrel {

// The Capturer's fields. Its state (lifecycle.h) says which of `session` and `background`
// it holds: the session in Ready, the background capture in Background, neither otherwise.
// Only the transitions below change them, and each sets the state to match.
struct CapturerState {
    std::optional<DuplicationSession> session;                             // absent while a capture thread holds it
    std::shared_ptr<Lifecycle> lifecycle = std::make_shared<Lifecycle>();  // shared with FramesIter
    Region region;                                                         // the region captures read by default
    bool region_is_default = true;                                         // the whole output, following its size
    std::optional<BackgroundCapture> background;                           // from start() to stop()/close()
    std::uint32_t device_idx = 0;
    std::uint32_t output_idx = 0;
    std::u16string output_name;  // the output a reopened session must be, wherever it is numbered now
    std::uint32_t width = 0;     // the latest session's
    std::uint32_t height = 0;
    std::uint32_t rotation = 0;
    bool cursor = true;
    // The screen-cast restore token: the caller's to start with, then the newest the
    // portal gave (kept here too while a capture thread holds the session).
    std::optional<std::string> cast_token;

    py::ThreadBinding binding;
    py::BorrowFlag borrow;

    Stage stage() const { return lifecycle->stage(); }
    // Ready: takes `opened` as the live session and its size as the Capturer's.
    void adopt(DuplicationSession opened);
    // Ready again with the session a capture thread hands back (its size stays the Capturer's).
    void put_back(DuplicationSession returned);
    // Background, with the capture thread that took the session.
    void enter_background(BackgroundCapture running);
    // Detached: stops and joins the background capture, returning the session it hands back
    // (none in a fork's child, where the thread stayed in the parent). Throws InternalFault
    // for a panicked thread, leaving the Capturer Detached.
    std::optional<DuplicationSession> stop_background();
};

// Raises the RuntimeError of the refusal `need` meets in the Capturer's state and returns
// false, or returns true: the one check every method makes before it goes on.
bool require(const CapturerState& state, Need need);

// Opens a session with the interpreter lock released (see DuplicationSession::open).
Result<DuplicationSession> open_session_unlocked(std::uint32_t device, std::uint32_t output, bool cursor,
                                                 std::u16string_view same_output = {}, bool warm_up = true,
                                                 std::optional<std::string> cast_token = std::nullopt);

// The live session, reopened when absent (after a frames() iterator finished with it):
// every capture method starts here, so a Detached Capturer behaves as a Ready one.
// Null with the exception set: closed, background mode, or the reopening's failure.
DuplicationSession* ensure_session(CapturerState& state);

// The region a capture on `session` reads: the given one, or the Capturer's, validated
// against the session's size (the default region is always the whole output).
Result<Region> capture_region(const CapturerState& state, const DuplicationSession& session,
                              const std::optional<RegionArg>& given);

// The session taken out for a capture thread, with the region the thread crops to.
struct TakenSession {
    DuplicationSession session;
    Region region;
};
// Takes the session out of the Capturer, reopening it first as ensure_session does: the
// given region is validated against it, or the Capturer's own region is used. Nothing
// (exception set) when ensure_session fails or the region does not fit, in which case the
// session is put back.
std::optional<TakenSession> take_session_for_thread(CapturerState& state, const std::optional<RegionArg>& region);

// Stops a running background capture (joining its thread) and releases what it hands
// back: Detached, also when the join reports an internal fault ("capture thread panicked").
void discard_background(CapturerState& state);

// close() and __exit__: stop a background capture, release the session, Closed.
void close_capturer(CapturerState& state);

struct CapturerClass {
    using State = CapturerState;
    static constexpr const char* kPath = "vistrel::capture::Capturer";
    static void close(CapturerState& state) { close_capturer(state); }
    // No capture thread outlives its Capturer: deallocation stops it as close() does.
    static void finalise(CapturerState& state) { discard_background(state); }
};
using Capturer = py::BoundClass<CapturerClass>;

// The capture methods, each in the file of its capture path.
PyObject* capturer_grab(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* capturer_screenshot(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* capturer_start(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* capturer_stop(PyObject* self, PyObject* args);
PyObject* capturer_get_latest_frame(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* capturer_debug_publish_seq(PyObject* self, PyObject* args);
PyObject* capturer_frames(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* capturer_grab_gpu(PyObject* self, PyObject* args, PyObject* kwargs);
// The module's _screenshot: one image from a session opened for it alone, without the
// warm-up a kept Capturer needs, so its cost is one opening and one frame.
PyObject* screenshot_once(PyObject* module, PyObject* args, PyObject* kwargs);

// Runs `body(state)` with the Capturer checked and borrowed (see py::use_bound).
template <class Borrow, class Body>
auto with_capturer(PyObject* self, Body&& body) {
    return Capturer::use<Borrow>(self, std::forward<Body>(body));
}

}  // namespace vistrel
