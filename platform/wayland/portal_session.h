// A screen-cast session of the xdg-desktop-portal: CreateSession, SelectSources (one
// monitor), Start (the portal's dialog, or a restore token instead) and
// OpenPipeWireRemote, over a private session-bus connection that lives as long as the
// session (closing it would end the session).
#pragma once

#include <memory>
#include <string>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

struct PortalRequest {
    std::string restore_token;  // from an earlier session; empty for none
};

struct PortalStream {
    int pipewire_fd = -1;  // owned by the session until taken
    std::uint32_t node = 0;
    std::uint32_t cursor_mode = 0;  // what was asked for: 1 hidden, 2 embedded, 4 metadata (0: the portal's default)
    std::string restore_token;      // for the next session; empty when the portal gave none
};

class PortalSession {
public:
    // Null with `failure` filled; a refused dialog is a CaptureError-class failure, a
    // missing bus or portal a DXGI_ERROR_UNSUPPORTED one. Every wait is bounded, and a
    // signal (Ctrl+C) ends it.
    static std::unique_ptr<PortalSession> open(const PortalRequest& request, WlFailure& failure);
    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;
    ~PortalSession();

    const PortalStream& stream() const { return stream_; }
    // The PipeWire connection's descriptor, now the caller's.
    int take_pipewire_fd();
    // Forgets the connection without closing it: for a forked child.
    void abandon();

private:
    struct Bus;
    explicit PortalSession(std::unique_ptr<Bus> bus);

    std::unique_ptr<Bus> bus_;
    std::string session_handle_;
    PortalStream stream_;
};

}  // namespace vistrel::wayland
