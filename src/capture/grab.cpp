// Capturer.grab: one frame on the caller's thread, with the interpreter lock released
// while it waits for the frame (in slices, so Ctrl+C ends the wait) and while it reads
// and converts it.
#include "duplication/frame.h"
#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/capture/render.h"
#include "src/convert/region_arg.h"
#include "src/errors.h"
#include "src/py/args.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"

namespace vistrel {

PyObject* capturer_grab(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout_ms", "fmt", "region", nullptr};
    PyObject *timeout_arg = nullptr, *fmt_arg = nullptr, *region_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:grab", const_cast<char**>(keywords), &timeout_arg, &fmt_arg,
                                     &region_arg))
        return nullptr;
    return with_capturer<py::ExclusiveBorrow>(self, [&](CapturerState& state) -> PyObject* {
        std::uint32_t timeout_ms = 1000;
        std::string fmt = "bgra";
        std::optional<RegionArg> region_given;
        if (timeout_arg && !py::to_u32(timeout_arg, "timeout_ms", timeout_ms)) return nullptr;
        if (fmt_arg && !py::to_str(fmt_arg, "fmt", fmt)) return nullptr;
        if (!parse_region_arg(region_arg, region_given)) return nullptr;

        if (*state.frames_busy) return raise_failure(Failure::iterator_active());
        auto format = parse_pixel_format(fmt);
        if (!format) return raise_failure(format.take_failure());
        DuplicationSession* session = ensure_session(state);
        if (!session) return nullptr;
        auto region = capture_region(state, *session, region_given);
        if (!region) return raise_failure(region.take_failure());

        std::uint8_t* memory = nullptr;
        py::Ref array = py::new_uint8_array(region->height(), region->width(), channel_count(format.value()), &memory);
        if (!array) return nullptr;
        if (PyObject * none_or_error; !acquire_for_method(*session, timeout_ms, none_or_error)) return none_or_error;
        std::optional<Status> read;
        {
            py::ReleaseGil released;
            read.emplace(render_frame(*session, region.value(), format.value(), memory));
        }
        if (!*read) return raise_failure(read->take_failure());
        return array.release();
    });
}

}  // namespace vistrel
