// One connection to the X server, owned, with the libraries it was made through.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/dxgi.h"
#include "platform/x11/xcb_library.h"

namespace vistrel::x11 {

// What went wrong below a COM call: the HRESULT to return and the description to leave.
struct XFailure {
    HRESULT code = S_OK;
    std::string text;
};

// A reply (or event) that libxcb allocated with malloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// The display the provider captures: $DISPLAY ("" when unset).
std::string display_name();

class Connection {
public:
    // A new connection to `display`, or null with `failure` filled (the libraries cannot
    // be loaded, DISPLAY is unset, or the server refused or cannot be reached).
    static std::shared_ptr<Connection> open(const std::string& display, XFailure& failure);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    const XcbApi& api() const { return api_; }
    xcb_connection_t* get() const { return connection_; }
    const std::string& display() const { return display_; }
    // The server went away or the stream broke: nothing more will come from it.
    bool broken() const { return api_.xcb_connection_has_error(connection_) != 0; }
    // The screen's root window, or null for an index past the last screen.
    const xcb_screen_t* screen(std::uint32_t index) const;

private:
    Connection(const XcbApi& api, xcb_connection_t* connection, std::string display)
        : api_(api), connection_(connection), display_(std::move(display)) {}

    const XcbApi& api_;
    xcb_connection_t* connection_;
    std::string display_;
};

// Text for "lost the connection", naming the display.
std::string lost_connection_text(const Connection& connection);

}  // namespace vistrel::x11
