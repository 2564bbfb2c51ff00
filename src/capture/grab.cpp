// Capturer.grab: one frame on the caller's thread, with the interpreter lock released
// while it waits for the frame (in slices, so Ctrl+C ends the wait) and while it reads
// and converts it.
#include "duplication/frame.h"
#include "src/capture/capturer.h"
#include "src/capture/interruptible.h"
#include "src/capture/one_shot.h"
#include "src/errors.h"
#include "src/py/args.h"
#include "src/py/entry.h"
#include "src/py/region_arg.h"

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
        if (!py::parse_region_arg(region_arg, region_given)) return nullptr;

        std::optional<OneShot> shot = prepare_one_shot(state, fmt, region_given);
        if (!shot) return nullptr;
        if (PyObject * none_or_error; !acquire_for_method(*shot->session, timeout_ms, none_or_error))
            return none_or_error;
        return finish_one_shot(*shot, timeout_ms, OnTimeout::ReturnNone);
    });
}

}  // namespace vistrel
