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
    // be loaded, DISPLAY is unset, or the server refused, cannot be reached or did not
    // answer by the thread's reply deadline).
    static std::shared_ptr<Connection> open(const std::string& display, XFailure& failure);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    const XcbApi& api() const { return api_; }
    xcb_connection_t* get() const { return connection_; }
    const std::string& display() const { return display_; }
    // The server went away or the stream broke, or this process is a fork's child, whose
    // copy of the socket must stay untouched: nothing more may be asked over it.
    bool broken() const { return inherited() || api_.xcb_connection_has_error(connection_) != 0; }
    // Made by the process this one was forked from.
    bool inherited() const;
    // The screen's root window, or null for an index past the last screen.
    const xcb_screen_t* screen(std::uint32_t index) const;

private:
    Connection(const XcbApi& api, xcb_connection_t* connection, std::string display);

    const XcbApi& api_;
    xcb_connection_t* connection_;
    std::string display_;
    std::uint64_t generation_;  // fork_generation() of the process that connected
};

// Text for "lost the connection", naming the display.
std::string lost_connection_text(const Connection& connection);
// Text for a server that let the opening's time-out pass without answering.
std::string no_answer_text(const std::string& display);

}  // namespace vistrel::x11
