// Capturer.start, stop, get_latest_frame and _debug_publish_seq.
#include <variant>

#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/py/args.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"
#include "src/py/region_arg.h"

namespace vistrel {

PyObject* capturer_start(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"target_fps", "region", "video_mode", nullptr};
    PyObject *fps_arg = nullptr, *region_arg = nullptr, *video_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:start", const_cast<char**>(keywords), &fps_arg, &region_arg,
                                     &video_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& state) -> PyObject* {
        std::uint32_t target_fps = 60;
        std::optional<RegionArg> region_given;
        bool video_mode = false;
        if (fps_arg && !py::to_u32(fps_arg, "target_fps", target_fps)) return nullptr;
        if (!py::parse_region_arg(region_arg, region_given)) return nullptr;
        if (video_arg && !py::to_bool(video_arg, "video_mode", video_mode)) return nullptr;

        if (!require(state, Need::NotCapturing) || !require(state, Need::NoIterator)) return nullptr;
        auto taken = take_session_for_thread(state, region_given);
        if (!taken) return nullptr;
        state.enter_background(
            spawn_capture(std::move(taken->session), {target_fps, taken->region, video_mode, std::nullopt}));
        Py_RETURN_NONE;
    });
}

PyObject* capturer_stop(PyObject* self, PyObject*) {
    return with_capturer<py::ExclusiveBorrow>(self, [](CapturerState& state) -> PyObject* {
        if (state.stage() != Stage::Background) Py_RETURN_NONE;
        if (auto session = state.stop_background()) {
            state.put_back(std::move(*session));
            Py_RETURN_NONE;
        }
        // A fork's child: the thread and its session stayed in the parent, so this process
        // opens its own, ready for start() again.
        if (!ensure_session(state)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* capturer_get_latest_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout_ms", nullptr};
    PyObject* timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_latest_frame", const_cast<char**>(keywords), &timeout_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& state) -> PyObject* {
        std::optional<std::uint64_t> timeout_ns;
        if (timeout_arg && timeout_arg != Py_None) {
            std::uint32_t ms = 0;
            if (!py::to_u32(timeout_arg, "timeout_ms", ms)) return nullptr;
            timeout_ns = std::uint64_t{ms} * 1000000u;
        }
        if (!require(state, Need::BackgroundCapturing)) return nullptr;
        // Loaded before a frame leaves the slot, so a failure to load loses no frame.
        (void)py::numpy_api();
        std::shared_ptr<CaptureShared> shared = state.background->shared;
        const std::uint32_t width = state.background->width, height = state.background->height;
        std::optional<WaitOutcome> outcome = wait_for_frame_interruptibly(*shared, timeout_ns);
        if (!outcome) return nullptr;
        if (auto* failure = std::get_if<Failure>(&*outcome)) return raise_failure(std::move(*failure));
        if (std::holds_alternative<Stopped>(*outcome)) Py_RETURN_NONE;
        Pixels pixels = std::move(std::get<LatestFrame>(*outcome).pixels);
        // Handed over when this is the only reference; in video mode the thread still holds
        // the buffer as its last frame (and its pool a second), and then it is copied.
        // A count of 1 read here cannot be overtaken: a new owner has to copy an existing
        // owner, and we are the only one. The thread's writes to the bytes happened before
        // it published the frame under the slot's mutex, which we took it out under. A
        // count the thread is just dropping reads as 2 and costs a copy, never a race.
        if (pixels.use_count() == 1) {
            if (!pixels->kept) return py::wrap_bytes(std::move(pixels->bytes), height, width, 4).release();
            std::uint8_t* data = pixels->data();
            return py::wrap_kept(data, height, width, 4, std::move(pixels)).release();
        }
        return py::copy_frame(pixels->data(), height, width, 4).release();
    });
}

PyObject* capturer_debug_publish_seq(PyObject* self, PyObject*) {
    return with_capturer<py::SharedBorrow>(self, [](CapturerState& state) -> PyObject* {
        if (state.stage() != Stage::Background) return PyLong_FromLong(0);
        return PyLong_FromUnsignedLongLong(waiting_seq(*state.background->shared));
    });
}

}  // namespace vistrel
