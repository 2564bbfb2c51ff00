// Capturer.grab: one frame on the caller's thread, with the interpreter lock released
// from the acquisition to the return.
#include "src/capture/capturer.h"
#include "src/convert/convert_bgra.h"
#include "src/convert/region_arg.h"
#include "duplication/frame.h"
#include "src/errors.h"
#include "src/py/args.h"
#include "src/py/entry.h"
#include "src/py/gil.h"
#include "src/py/numpy_api.h"

namespace vistrel {
namespace {

// The lock-free part: acquire, read the region's rows, draw the pointer, convert.
// Writes into `array` (the result's memory, W x H x C bytes).
Result<Acquired> capture_into(DuplicationSession& session, std::uint32_t timeout_ms, const Region& region,
                              PixelFormat format, std::uint8_t* array) {
    auto acquired = acquire_frame(session, timeout_ms);
    if (!acquired || acquired.value() == Acquired::NoNewFrame) return acquired;

    const std::uint32_t w = region.width(), h = region.height();
    const std::size_t packed = std::size_t{w} * h * 4;
    std::uint8_t* rows = array;
    if (format != PixelFormat::Bgra) {
        // The session's buffer is reused by every grab; it only ever grows.
        if (session.frame_buffer.size() < packed) session.frame_buffer.resize(packed, 0);
        rows = session.frame_buffer.data();
    }
    Status read = read_region(session, region.left, region.top, region.right, region.bottom, rows, packed);
    if (!read) return read.take_failure();
    if (session.cursor_enabled)
        composite_cursor(rows, packed, static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                         static_cast<std::int32_t>(region.left), static_cast<std::int32_t>(region.top),
                         session.cursor);
    if (format != PixelFormat::Bgra)
        convert_bgra(format, rows, packed, array, std::size_t{w} * h * channel_count(format), w, h);
    return Acquired::NewFrame;
}

}  // namespace

PyObject* capturer_grab(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"timeout_ms", "fmt", "region", nullptr};
    PyObject *timeout_arg = nullptr, *fmt_arg = nullptr, *region_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:grab", const_cast<char**>(keywords), &timeout_arg, &fmt_arg,
                                     &region_arg))
        return nullptr;
    return py::guarded(
        [&]() -> PyObject* {
            CapturerState& state = capturer_state(self);
            if (!state.binding.check(kCapturerPath)) return nullptr;
            py::ExclusiveBorrow borrow(state.borrow);
            if (!borrow.ok()) return nullptr;

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
            Region region = state.region;
            if (region_given) {
                auto valid = validate_region(*region_given, session->width, session->height);
                if (!valid) return raise_failure(valid.take_failure());
                region = valid.value();
            }

            std::uint8_t* memory = nullptr;
            py::Ref array = py::new_uint8_array(region.height(), region.width(), channel_count(format.value()), &memory);
            if (!array) return nullptr;
            std::optional<Result<Acquired>> outcome;
            {
                py::ReleaseGil released;
                outcome.emplace(capture_into(*session, timeout_ms, region, format.value(), memory));
            }
            if (!*outcome) return raise_failure(outcome->take_failure());
            if (outcome->value() == Acquired::NoNewFrame) Py_RETURN_NONE;
            return array.release();
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace vistrel
