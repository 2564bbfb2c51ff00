// Capturer.screenshot: the desktop as it is now, also when it does not change. grab
// waits for the next change; this takes a waiting one without waiting and otherwise
// reads the copy texture, which keeps the newest image the session has acquired (the
// warm-up's, when nothing changed since the Capturer opened).
#include "duplication/frame.h"
#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/capture/one_shot.h"
#include "src/errors.h"
#include "src/py/args.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/region_arg.h"

namespace vistrel {
namespace {

// How long a fresh duplication's first frame is waited for, as at opening.
constexpr std::uint32_t kFirstFrameMs = 50;

// Acquires with the lock released.
Result<Acquired> acquire_unlocked(DuplicationSession& session, std::uint32_t timeout_ms) {
    py::ReleaseGil released;
    return acquire_frame(session, timeout_ms);
}

// Brings the session up to date: a waiting change is taken at once; a session that has
// never had an image waits for its first one, up to `timeout_ms`, in slices so that
// Ctrl+C ends the wait. False with the exception set otherwise.
bool current_image(DuplicationSession& session, std::uint32_t timeout_ms) {
    const std::uint64_t generation = session.duplication_generation;
    auto polled = acquire_unlocked(session, 0);
    // A duplication re-created after a loss (the secure desktop ended, say) delivers the
    // current desktop as its first frame: the copy texture still holds the old one.
    if (polled && session.duplication_generation != generation) polled = acquire_unlocked(session, kFirstFrameMs);
    if (!polled) {
        raise_failure(polled.take_failure());
        return false;
    }
    SlicedWait wait(std::uint64_t{timeout_ms} * 1000000u);
    while (!session.has_image) {
        if (wait.over()) {
            raise_no_image_in_time();
            return false;
        }
        auto acquired = acquire_unlocked(session, wait.next_slice_ms());
        if (!acquired) {
            raise_failure(acquired.take_failure());
            return false;
        }
        if (!signal_handlers_passed()) return false;
    }
    return true;
}

}  // namespace

PyObject* capturer_screenshot(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fmt", "region", "timeout_ms", nullptr};
    PyObject *fmt_arg = nullptr, *region_arg = nullptr, *timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:screenshot", const_cast<char**>(keywords), &fmt_arg,
                                     &region_arg, &timeout_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& state) -> PyObject* {
        std::uint32_t timeout_ms = 1000;
        std::string fmt = "bgra";
        std::optional<RegionArg> region_given;
        if (fmt_arg && !py::to_str(fmt_arg, "fmt", fmt)) return nullptr;
        if (!py::parse_region_arg(region_arg, region_given)) return nullptr;
        if (timeout_arg && !py::to_u32(timeout_arg, "timeout_ms", timeout_ms)) return nullptr;

        std::optional<OneShot> shot = prepare_one_shot(state, fmt, region_given);
        if (!shot) return nullptr;
        if (!current_image(*shot->session, timeout_ms)) return nullptr;
        return finish_one_shot(*shot, timeout_ms, OnTimeout::RaiseCaptureTimeout);
    });
}

PyObject* screenshot_once(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"output", "device", "fmt", "region", "cursor", "timeout_ms", "raw", nullptr};
    PyObject *output_arg = nullptr, *device_arg = nullptr, *fmt_arg = nullptr, *region_arg = nullptr,
             *cursor_arg = nullptr, *timeout_arg = nullptr, *raw_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOO:_screenshot", const_cast<char**>(keywords), &output_arg,
                                     &device_arg, &fmt_arg, &region_arg, &cursor_arg, &timeout_arg, &raw_arg))
        return nullptr;
    return py::guarded(
        [&]() -> PyObject* {
            CapturerState state;  // a Capturer for this call alone
            std::uint32_t timeout_ms = 1000;
            std::string fmt = "rgb";
            std::optional<RegionArg> region_given;
            bool raw = false;
            if (output_arg && !py::to_u32(output_arg, "output", state.output_idx)) return nullptr;
            if (device_arg && !py::to_u32(device_arg, "device", state.device_idx)) return nullptr;
            if (fmt_arg && !py::to_str(fmt_arg, "fmt", fmt)) return nullptr;
            if (!py::parse_region_arg(region_arg, region_given)) return nullptr;
            if (cursor_arg && !py::to_bool(cursor_arg, "cursor", state.cursor)) return nullptr;
            if (timeout_arg && !py::to_u32(timeout_arg, "timeout_ms", timeout_ms)) return nullptr;
            if (raw_arg && !py::to_bool(raw_arg, "raw", raw)) return nullptr;

            auto opened = open_session_unlocked(state.device_idx, state.output_idx, state.cursor, {}, false);
            if (!opened) return raise_failure(opened.take_failure());
            state.adopt(std::move(opened).value());
            std::optional<OneShot> shot = prepare_one_shot(state, fmt, region_given, raw, /*fresh_session=*/true);
            if (!shot) return nullptr;
            if (!current_image(*shot->session, timeout_ms)) return nullptr;
            const std::uint32_t h = shot->region.height(), w = shot->region.width(),
                                c = static_cast<std::uint32_t>(channel_count(shot->format));
            py::Ref pixels = py::Ref::steal(finish_one_shot(*shot, timeout_ms, OnTimeout::RaiseCaptureTimeout));
            if (!pixels || !raw) return pixels.release();
            return Py_BuildValue("(O(III))", pixels.get(), h, w, c);
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace vistrel
