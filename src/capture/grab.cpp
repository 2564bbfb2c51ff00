// Capturer.grab: one frame on the caller's thread, with the interpreter lock released
// while it waits for the frame (in slices, so Ctrl+C ends the wait) and while it reads
// and converts it.
#include <algorithm>

#include "src/capture/capturer.h"
#include "src/capture/composite.h"
#include "src/capture/interruptible.h"
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

// Rows per strip on the conversion path: about what the first-level caches hold.
constexpr std::size_t kStripBytes = 64 * 1024;

// The lock-free part after a new frame: read the region's rows, draw the pointer,
// convert. Writes into `array` (the result's memory, W x H x C bytes).
Status read_into(DuplicationSession& session, const Region& region, PixelFormat format, std::uint8_t* array) {
    const std::uint32_t w = region.width(), h = region.height();
    const std::size_t row_bytes = std::size_t{w} * 4;
    const std::size_t packed = row_bytes * h;
    auto mapped = MappedFrame::map(session);
    if (!mapped) return mapped.take_failure();
    if (format == PixelFormat::Bgra) {
        // Straight into the array: one copy per pixel.
        mapped->copy_rows(region.left, region.top, region.right, region.bottom, array, packed);
        if (session.cursor_enabled) composite_cursor(array, packed, region, session.cursor);
        return Ok{};
    }
    // Through the session's frame buffer (reused by every grab, only ever grown), a strip
    // of rows at a time so the rows are still in cache when they are converted.
    if (session.frame_buffer.size() < packed) session.frame_buffer.resize(packed, 0);
    std::uint8_t* rows = session.frame_buffer.data();
    const std::size_t channels = channel_count(format);
    const std::uint32_t strip = static_cast<std::uint32_t>(std::max<std::size_t>(1, kStripBytes / row_bytes));
    for (std::uint32_t y = 0; y < h; y += strip) {
        const std::uint32_t n = std::min(strip, h - y);
        const std::size_t strip_bytes = row_bytes * n;
        const Region band{region.left, region.top + y, region.right, region.top + y + n};
        mapped->copy_rows(band.left, band.top, band.right, band.bottom, rows, strip_bytes);
        if (session.cursor_enabled) composite_cursor(rows, strip_bytes, band, session.cursor);
        convert_bgra(format, rows, strip_bytes, array + std::size_t{y} * w * channels, std::size_t{n} * w * channels,
                     w, n);
    }
    return Ok{};
}

}  // namespace

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
        py::Ref array =
            py::new_uint8_array(region->height(), region->width(), channel_count(format.value()), &memory);
        if (!array) return nullptr;
        if (PyObject* none_or_error; !acquire_for_method(*session, timeout_ms, none_or_error)) return none_or_error;
        std::optional<Status> read;
        {
            py::ReleaseGil released;
            read.emplace(read_into(*session, region.value(), format.value(), memory));
        }
        if (!*read) return raise_failure(read->take_failure());
        return array.release();
    });
}

}  // namespace vistrel
