#include "duplication/cursor.h"

#include <algorithm>

#include "duplication/cursor_rotation.h"
#include "duplication/device.h"
#include "duplication/dpi_awareness.h"
#include "platform/os.h"

namespace vistrel {
namespace {

constexpr std::uint32_t kMonochrome = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME;
constexpr std::uint32_t kColor = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
constexpr std::uint32_t kMaskedColor = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR;

inline bool mask_bit(const std::uint8_t* row, std::int64_t c) { return (row[c >> 3] >> (7 - (c & 7))) & 1; }

}  // namespace

bool shape_fits_buffer(const CursorState& c) {
    if (!c.shape) return false;
    const std::uint64_t pitch = c.shape_pitch, height = c.shape_height, width = c.shape_width;
    const std::uint64_t length = c.shape->size();
    switch (c.shape_type) {
        case kMonochrome:
            return pitch * 8 >= width && pitch * height * 2 <= length;
        case kColor:
        case kMaskedColor:
            return pitch >= width * 4 && pitch * height <= length;
        default:
            return false;
    }
}

Status update_pointer_shape(DuplicationSession& session, std::uint32_t size) {
    std::vector<std::uint8_t> buffer(size, 0);
    UINT required = 0;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO info{};
    HRESULT hr = session.duplication->GetFramePointerShape(size, buffer.data(), &required, &info);
    if (FAILED(hr)) return Failure::hresult(hr, os::take_error_info());
    CursorState& c = session.cursor;
    c.shape = std::move(buffer);
    c.shape_type = info.Type;
    c.shape_width = info.Width;
    c.shape_height = info.Type == kMonochrome ? info.Height >> 1 : info.Height;
    c.shape_pitch = info.Pitch;
    c.hotspot_x = info.HotSpot.x;
    c.hotspot_y = info.HotSpot.y;
    return Ok{};
}

namespace {

// Keeps the surface's view of the pointer in step on a rotated output; the shape is
// turned again only when a new one arrived.
void follow_rotation(DuplicationSession& session, bool new_shape) {
    if (!turns_desktop(session.rotation)) return;
    if (new_shape || !session.turned_cursor) session.turned_cursor = turn_shape(session.cursor, session.rotation);
    place_on_surface(session.cursor, session.rotation, session.width, session.height, *session.turned_cursor);
}

}  // namespace

void update_cursor(DuplicationSession& session, const DXGI_OUTDUPL_FRAME_INFO& frame) {
    CursorState& c = session.cursor;
    const std::int64_t present_time = frame.LastPresentTime.QuadPart;
    const bool new_image = present_time != 0 && present_time != session.last_present_time;
    // The position is valid in every frame with a mouse update, also in one that carries
    // no new image: a pointer moving over a still desktop is a frame of its own.
    if (frame.LastMouseUpdateTime.QuadPart != 0) {
        c.visible = frame.PointerPosition.Visible != 0;
        c.position_x = frame.PointerPosition.Position.x;
        c.position_y = frame.PointerPosition.Position.y;
    } else if (new_image) {
        CURSORINFO info{};
        info.cbSize = sizeof info;
        const PerMonitorDpiScope dpi;
        if (GetCursorInfo(&info)) {
            // A suppressed cursor (flags 2) counts as hidden.
            c.visible = info.flags == CURSOR_SHOWING;
            const std::uint32_t hot_x = c.shape ? static_cast<std::uint32_t>(c.hotspot_x) : 0;
            const std::uint32_t hot_y = c.shape ? static_cast<std::uint32_t>(c.hotspot_y) : 0;
            // The system reports virtual-desktop coordinates; the frame's are the output's.
            c.position_x = static_cast<std::int32_t>(static_cast<std::uint32_t>(info.ptScreenPos.x) - hot_x -
                                                     static_cast<std::uint32_t>(session.desktop_left));
            c.position_y = static_cast<std::int32_t>(static_cast<std::uint32_t>(info.ptScreenPos.y) - hot_y -
                                                     static_cast<std::uint32_t>(session.desktop_top));
        } else {
            os::discard_last_error();
        }
    }
    const bool new_shape =
        frame.PointerShapeBufferSize != 0 && update_pointer_shape(session, frame.PointerShapeBufferSize).ok();
    if (new_image) session.last_present_time = present_time;
    follow_rotation(session, new_shape);
}

void composite_cursor(std::uint8_t* destination, std::size_t destination_length, std::int32_t width,
                      std::int32_t height, std::int32_t origin_x, std::int32_t origin_y, const CursorState& c) {
    if (!c.visible || !c.shape || width <= 0 || height <= 0) return;
    if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 4 > destination_length) return;
    if (!shape_fits_buffer(c)) return;
    // 64-bit arithmetic: no placement can overflow into the destination.
    const std::int64_t rx = std::int64_t{c.position_x} - origin_x;
    const std::int64_t ry = std::int64_t{c.position_y} - origin_y;
    const std::int64_t x0 = std::max<std::int64_t>(rx, 0), y0 = std::max<std::int64_t>(ry, 0);
    const std::int64_t x1 = std::min<std::int64_t>(rx + c.shape_width, width);
    const std::int64_t y1 = std::min<std::int64_t>(ry + c.shape_height, height);
    if (x0 >= x1 || y0 >= y1) return;

    const std::uint8_t* shape = c.shape->data();
    const std::size_t pitch = c.shape_pitch;
    for (std::int64_t y = y0; y < y1; ++y) {
        const std::int64_t r = y - ry;
        std::uint8_t* row = destination + static_cast<std::size_t>(y * width) * 4;
        switch (c.shape_type) {
            case kMonochrome: {
                const std::uint8_t* and_row = shape + static_cast<std::size_t>(r) * pitch;
                const std::uint8_t* xor_row = shape + (c.shape_height + static_cast<std::size_t>(r)) * pitch;
                for (std::int64_t x = x0; x < x1; ++x) {
                    const std::int64_t col = x - rx;
                    const std::uint8_t keep = mask_bit(and_row, col) ? 0xFF : 0x00;
                    const std::uint8_t flip = mask_bit(xor_row, col) ? 0xFF : 0x00;
                    std::uint8_t* d = row + x * 4;
                    for (int k = 0; k < 3; ++k) d[k] = static_cast<std::uint8_t>((d[k] & keep) ^ flip);
                }
                break;
            }
            case kColor: {
                const std::uint8_t* src_row = shape + static_cast<std::size_t>(r) * pitch;
                for (std::int64_t x = x0; x < x1; ++x) {
                    const std::uint8_t* s = src_row + (x - rx) * 4;
                    std::uint8_t* d = row + x * 4;
                    const unsigned alpha = s[3];
                    if (alpha == 0) continue;
                    for (int k = 0; k < 3; ++k) {
                        d[k] = alpha == 255
                                   ? s[k]
                                   : static_cast<std::uint8_t>((s[k] * alpha + d[k] * (255u - alpha) + 127u) / 255u);
                    }
                }
                break;
            }
            case kMaskedColor: {
                const std::uint8_t* src_row = shape + static_cast<std::size_t>(r) * pitch;
                for (std::int64_t x = x0; x < x1; ++x) {
                    const std::uint8_t* s = src_row + (x - rx) * 4;
                    std::uint8_t* d = row + x * 4;
                    for (int k = 0; k < 3; ++k) d[k] = s[3] != 0 ? static_cast<std::uint8_t>(d[k] ^ s[k]) : s[k];
                }
                break;
            }
            default:
                return;
        }
    }
}

}  // namespace vistrel
