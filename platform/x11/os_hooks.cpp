// GetCursorInfo from the X pointer. X has no NT handles to share: GPU sharing fails
// before any handle exists, so the provider takes the no-handle services.
#include "platform/x11/connection.h"
#include "platform/x11/provider.h"
#include "platform/x11/reply_deadline.h"

namespace {

// Each thread asks over a connection of its own, kept for the thread's life: connections
// are never shared between threads.
std::shared_ptr<vistrel::x11::Connection>& thread_connection() {
    thread_local std::shared_ptr<vistrel::x11::Connection> connection;
    return connection;
}

}  // namespace

namespace vistrel::x11 {

BOOL get_cursor_info(CURSORINFO* info) {
    if (!info || info->cbSize != sizeof(CURSORINFO)) return FALSE;
    const ReplyDeadline replies(kReplyFloor);
    std::shared_ptr<Connection>& connection = thread_connection();
    if (connection && connection->broken()) connection.reset();
    if (!connection) {
        XFailure failure;
        connection = Connection::open(display_name(), failure);
        if (!connection) return FALSE;
    }
    const xcb_screen_t* screen = connection->screen(0);
    if (!screen) return FALSE;
    const XcbApi& x = connection->api();
    Reply<xcb_query_pointer_reply_t> pointer(
        x.xcb_query_pointer_reply(connection->get(), x.xcb_query_pointer(connection->get(), screen->root), nullptr));
    if (!pointer) return FALSE;
    info->flags = pointer->same_screen ? CURSOR_SHOWING : 0;
    info->hCursor = nullptr;
    info->ptScreenPos = {pointer->root_x, pointer->root_y};
    return TRUE;
}

}  // namespace vistrel::x11
