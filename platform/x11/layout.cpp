#include "platform/x11/layout.h"

#include <algorithm>

namespace vistrel::x11 {
namespace {

bool randr_1_5(const Connection& c) {
    const XcbApi& x = c.api();
    const xcb_query_extension_reply_t* ext = x.xcb_get_extension_data(c.get(), x.randr_id);
    if (!ext || !ext->present) return false;
    Reply<xcb_randr_query_version_reply_t> version(
        x.xcb_randr_query_version_reply(c.get(), x.xcb_randr_query_version(c.get(), 1, 5), nullptr));
    return version && (version->major_version > 1 || version->minor_version >= 5);
}

std::string atom_name(const Connection& c, xcb_atom_t atom) {
    const XcbApi& x = c.api();
    Reply<xcb_get_atom_name_reply_t> reply(
        x.xcb_get_atom_name_reply(c.get(), x.xcb_get_atom_name(c.get(), atom), nullptr));
    if (!reply) return {};
    return std::string(x.xcb_get_atom_name_name(reply.get()), x.xcb_get_atom_name_name_length(reply.get()));
}

// The rotation of the CRTC showing the monitor's first output.
DXGI_MODE_ROTATION monitor_rotation(const Connection& c, xcb_randr_monitor_info_t* monitor) {
    const XcbApi& x = c.api();
    if (x.xcb_randr_monitor_info_outputs_length(monitor) < 1) return DXGI_MODE_ROTATION_IDENTITY;
    xcb_randr_output_t output = x.xcb_randr_monitor_info_outputs(monitor)[0];
    Reply<xcb_randr_get_output_info_reply_t> info(
        x.xcb_randr_get_output_info_reply(c.get(), x.xcb_randr_get_output_info(c.get(), output, 0), nullptr));
    if (!info || info->crtc == XCB_NONE) return DXGI_MODE_ROTATION_IDENTITY;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(
        x.xcb_randr_get_crtc_info_reply(c.get(), x.xcb_randr_get_crtc_info(c.get(), info->crtc, 0), nullptr));
    if (!crtc) return DXGI_MODE_ROTATION_IDENTITY;
    switch (crtc->rotation & 0xF) {
        case XCB_RANDR_ROTATION_ROTATE_90:
            return DXGI_MODE_ROTATION_ROTATE90;
        case XCB_RANDR_ROTATION_ROTATE_180:
            return DXGI_MODE_ROTATION_ROTATE180;
        case XCB_RANDR_ROTATION_ROTATE_270:
            return DXGI_MODE_ROTATION_ROTATE270;
        default:
            return DXGI_MODE_ROTATION_IDENTITY;
    }
}

}  // namespace

std::vector<MonitorInfo> query_monitors(const Connection& c, const xcb_screen_t& screen, std::uint32_t width,
                                        std::uint32_t height) {
    const XcbApi& x = c.api();
    std::vector<MonitorInfo> monitors;
    if (randr_1_5(c)) {
        Reply<xcb_randr_get_monitors_reply_t> reply(
            x.xcb_randr_get_monitors_reply(c.get(), x.xcb_randr_get_monitors(c.get(), screen.root, 1), nullptr));
        if (reply) {
            for (auto it = x.xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                 x.xcb_randr_monitor_info_next(&it)) {
                xcb_randr_monitor_info_t* m = it.data;
                const std::int64_t left = std::max<std::int64_t>(m->x, 0), top = std::max<std::int64_t>(m->y, 0);
                const std::int64_t right = std::min<std::int64_t>(std::int64_t{m->x} + m->width, width);
                const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{m->y} + m->height, height);
                if (right <= left || bottom <= top) continue;
                monitors.push_back({atom_name(c, m->name), static_cast<std::int32_t>(left),
                                    static_cast<std::int32_t>(top), static_cast<std::uint32_t>(right - left),
                                    static_cast<std::uint32_t>(bottom - top), monitor_rotation(c, m), m->primary != 0});
            }
        }
    }
    if (monitors.empty()) {
        monitors.push_back({"SCREEN", 0, 0, width, height, DXGI_MODE_ROTATION_IDENTITY, true});
    }
    std::stable_sort(monitors.begin(), monitors.end(), [](const MonitorInfo& a, const MonitorInfo& b) {
        if (a.primary != b.primary) return a.primary;
        if (a.x != b.x) return a.x < b.x;
        return a.y < b.y;
    });
    return monitors;
}

std::vector<ScreenInfo> query_layout(const Connection& c) {
    std::vector<ScreenInfo> screens;
    for (std::uint32_t i = 0;; ++i) {
        const xcb_screen_t* screen = c.screen(i);
        if (!screen) break;
        // A new connection's setup has the screen's current size.
        screens.push_back({screen->width_in_pixels, screen->height_in_pixels,
                           query_monitors(c, *screen, screen->width_in_pixels, screen->height_in_pixels)});
    }
    return screens;
}

bool screen_pixels_supported(const Connection& c, const xcb_screen_t& screen, std::string& why) {
    const XcbApi& x = c.api();
    const xcb_setup_t* setup = x.xcb_get_setup(c.get());
    if (screen.root_depth != 24 && screen.root_depth != 32) {
        why = "screen depth " + std::to_string(screen.root_depth) + " is not supported (24 or 32 bits)";
        return false;
    }
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        why = "big-endian image byte order is not supported";
        return false;
    }
    const xcb_format_t* formats = x.xcb_setup_pixmap_formats(setup);
    for (int i = 0; i < x.xcb_setup_pixmap_formats_length(setup); ++i) {
        if (formats[i].depth == screen.root_depth) {
            if (formats[i].bits_per_pixel == 32) return true;
            why = "pixels of " + std::to_string(formats[i].bits_per_pixel) + " bits are not supported";
            return false;
        }
    }
    why = "the server lists no pixmap format for the screen's depth";
    return false;
}

}  // namespace vistrel::x11
