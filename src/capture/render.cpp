#include "src/capture/render.h"

#include <algorithm>

#include "duplication/frame.h"
#include "src/capture/composite.h"
#include "src/convert/convert_bgra.h"

namespace vistrel {
namespace {

// Rows [begin, end) of a region; empty when begin == end.
struct RowSpan {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// The region's rows the pointer is drawn on, relative to its top; none for a hidden one.
RowSpan pointer_rows(const CursorState& cursor, const Region& region) {
    if (!cursor.visible || !cursor.shape || cursor.shape_height == 0) return {};
    const std::int64_t top = std::int64_t{cursor.position_y} - region.top;
    const std::int64_t bottom = top + cursor.shape_height;
    const std::int64_t height = region.height();
    const auto begin = static_cast<std::uint32_t>(std::clamp<std::int64_t>(top, 0, height));
    const auto end = static_cast<std::uint32_t>(std::clamp<std::int64_t>(bottom, 0, height));
    return begin < end ? RowSpan{begin, end} : RowSpan{};
}

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
    // Straight from the mapped rows into the array, one pass per pixel; only the rows the
    // pointer covers go through the session's frame buffer, where it is drawn first.
    const std::size_t channels = channel_count(format);
    const std::size_t out_row_bytes = std::size_t{w} * channels;
    const RowSpan pointer = session.cursor_enabled ? pointer_rows(session.drawn_cursor(), region) : RowSpan{};
    for (std::uint32_t y = 0; y < h; ++y) {
        if (y == pointer.begin && pointer.begin < pointer.end) {
            const std::uint32_t n = pointer.end - pointer.begin;
            const std::size_t band_bytes = row_bytes * n;
            if (session.frame_buffer.size() < band_bytes) session.frame_buffer.resize(band_bytes, 0);
            std::uint8_t* rows = session.frame_buffer.data();
            const Region band{region.left, region.top + y, region.right, region.top + y + n};
            mapped->copy_rows(band.left, band.top, band.right, band.bottom, rows, band_bytes);
            composite_cursor(rows, band_bytes, band, session);
            convert_bgra(format, rows, band_bytes, array + y * out_row_bytes, out_row_bytes * n, w, n);
            y += n - 1;
            continue;
        }
        convert_bgra(format, mapped->row(region.left, region.top + y, w), row_bytes, array + y * out_row_bytes,
                     out_row_bytes, w, 1);
    }
    return Ok{};
}

}  // namespace vistrel
