#include "src/capture/render.h"

#include <algorithm>

#include "duplication/frame.h"
#include "src/capture/composite.h"
#include "src/convert/convert_bgra.h"

namespace vistrel {
namespace {

// Rows per strip on the conversion path: about what the first-level caches hold.
constexpr std::size_t kStripBytes = 64 * 1024;

}  // namespace

Status render_frame(DuplicationSession& session, const Region& region, PixelFormat format, std::uint8_t* array) {
    const std::uint32_t w = region.width(), h = region.height();
    const std::size_t row_bytes = std::size_t{w} * 4;
    const std::size_t packed = row_bytes * h;
    auto mapped = MappedFrame::map(session);
    if (!mapped) return mapped.take_failure();
    if (format == PixelFormat::Bgra) {
        // Straight into the array: one copy per pixel.
        mapped->copy_rows(region.left, region.top, region.right, region.bottom, array, packed);
        if (session.cursor_enabled) composite_cursor(array, packed, region, session);
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
        if (session.cursor_enabled) composite_cursor(rows, strip_bytes, band, session);
        convert_bgra(format, rows, strip_bytes, array + std::size_t{y} * w * channels, std::size_t{n} * w * channels, w,
                     n);
    }
    return Ok{};
}

}  // namespace vistrel
