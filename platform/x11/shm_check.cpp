#include "platform/x11/shm_check.h"

#include <cstring>

#include "platform/x11/reply_deadline.h"

namespace vistrel::x11 {
namespace {

// One pixel over the socket, the complement of it in the segment, then the same pixel
// through the segment: only our own segment can then hold the pixel. Across IPC
// namespaces the same id can name another segment, which a privileged client may even
// attach. A change between the two reads only costs shared memory.
bool server_writes_into(const Connection& connection, xcb_window_t root, std::int16_t left, std::int16_t top,
                        const ShmSurface& segment) {
    const XcbApi& x = connection.api();
    xcb_connection_t* c = connection.get();
    Reply<xcb_get_image_reply_t> pixel(
        x.xcb_get_image_reply(c, x.xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, left, top, 1, 1, ~0u), nullptr));
    if (!pixel || x.xcb_get_image_data_length(pixel.get()) < 4) return false;
    std::uint8_t expected[3];
    std::memcpy(expected, x.xcb_get_image_data(pixel.get()), 3);
    for (int k = 0; k < 3; ++k) segment.data()[k] = static_cast<std::uint8_t>(~expected[k]);
    Reply<xcb_shm_get_image_reply_t> written(x.xcb_shm_get_image_reply(
        c, x.xcb_shm_get_image(c, root, left, top, 1, 1, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment.segment(), 0),
        nullptr));
    return written && std::memcmp(segment.data(), expected, 3) == 0;
}

}  // namespace

std::shared_ptr<ShmSurface> writable_segment(const std::shared_ptr<Connection>& connection, xcb_window_t root,
                                             std::int16_t x, std::int16_t y, std::uint32_t width,
                                             std::uint32_t height) {
    const XcbApi& api = connection->api();
    const xcb_query_extension_reply_t* ext = api.xcb_get_extension_data(connection->get(), api.shm_id);
    if (!ext || !ext->present) return nullptr;
    Reply<xcb_shm_query_version_reply_t> version(
        api.xcb_shm_query_version_reply(connection->get(), api.xcb_shm_query_version(connection->get()), nullptr));
    if (!version) return nullptr;
    auto segment = ShmSurface::create(connection, width, height);
    if (!segment || !server_writes_into(*connection, root, x, y, *segment)) return nullptr;
    return segment;
}

const char* probe_pixel_path(const std::string& display, std::uint32_t screen, std::int32_t x, std::int32_t y) {
    const ReplyDeadline replies(kOpenTimeout);
    XFailure failure;
    std::shared_ptr<Connection> connection = Connection::open(display, failure);
    if (!connection) return nullptr;
    const xcb_screen_t* root = connection->screen(screen);
    if (!root) return nullptr;
    const bool shared = writable_segment(connection, root->root, static_cast<std::int16_t>(x),
                                         static_cast<std::int16_t>(y), 1, 1) != nullptr;
    if (connection->broken() || replies.ran_out()) return nullptr;
    return shared ? kShmPath : kGetImagePath;
}

}  // namespace vistrel::x11
