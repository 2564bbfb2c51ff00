#include "platform/x11/connection.h"

namespace vistrel::x11 {
namespace {

const char* connection_error_reason(int code) {
    switch (code) {
        case XCB_CONN_ERROR:
            return "the server is not running or refused the connection";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "an extension is not supported";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
            return "request too long";
        case XCB_CONN_CLOSED_PARSE_ERR:
            return "the display name cannot be parsed";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return "no such screen";
        case XCB_CONN_CLOSED_FDPASSING_FAILED:
            return "file descriptor passing failed";
        default:
            return "connection error";
    }
}

}  // namespace

std::string display_name() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

std::shared_ptr<Connection> Connection::open(const std::string& display, XFailure& failure) {
    std::string load_error;
    const XcbApi* api = xcb_api(load_error);
    if (!api) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to X display: " + load_error};
        return nullptr;
    }
    if (display.empty()) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to X display: DISPLAY is not set"};
        return nullptr;
    }
    xcb_connection_t* connection = api->xcb_connect(display.c_str(), nullptr);
    if (int code = api->xcb_connection_has_error(connection)) {
        api->xcb_disconnect(connection);  // xcb hands out an error object even on failure
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE,
                   "cannot connect to X display '" + display + "': " + connection_error_reason(code)};
        return nullptr;
    }
    return std::shared_ptr<Connection>(new Connection(*api, connection, display));
}

Connection::~Connection() { api_.xcb_disconnect(connection_); }

const xcb_screen_t* Connection::screen(std::uint32_t index) const {
    xcb_screen_iterator_t it = api_.xcb_setup_roots_iterator(api_.xcb_get_setup(connection_));
    for (std::uint32_t i = 0; it.rem > 0; ++i, api_.xcb_screen_next(&it))
        if (i == index) return it.data;
    return nullptr;
}

std::string lost_connection_text(const Connection& connection) {
    return "lost the connection to X display '" + connection.display() + "'";
}

}  // namespace vistrel::x11
