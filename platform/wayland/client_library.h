// libwayland-client, loaded at run time by its versioned soname, so the module imports
// (and answers "cannot load ...") on machines without Wayland. Only the core header is
// used: the protocol's inline request functions would bind to the library at link time.
#pragma once

#include <wayland-client-core.h>

#include <string>

namespace vistrel::wayland {

// clang-format off
#define VISTREL_WL_FUNCTIONS(X)                                                                      \
    X(wl_display_connect) X(wl_display_disconnect) X(wl_display_get_fd) X(wl_display_flush)          \
    X(wl_display_prepare_read) X(wl_display_cancel_read) X(wl_display_read_events)                   \
    X(wl_display_dispatch_pending) X(wl_display_get_error) X(wl_proxy_marshal_flags)                 \
    X(wl_proxy_add_listener) X(wl_proxy_destroy) X(wl_proxy_get_version)
#define VISTREL_WL_INTERFACES(X)                                                                     \
    X(wl_registry_interface) X(wl_output_interface) X(wl_shm_interface) X(wl_shm_pool_interface)     \
    X(wl_buffer_interface) X(wl_callback_interface)
// clang-format on

struct WaylandApi {
#define VISTREL_WL_MEMBER(name) decltype(&::name) name = nullptr;
    VISTREL_WL_FUNCTIONS(VISTREL_WL_MEMBER)
#undef VISTREL_WL_MEMBER
#define VISTREL_WL_INTERFACE_MEMBER(name) const wl_interface* name = nullptr;
    VISTREL_WL_INTERFACES(VISTREL_WL_INTERFACE_MEMBER)
#undef VISTREL_WL_INTERFACE_MEMBER
};

// The loaded library, or null with `error` saying why it could not be loaded. Loaded once
// per process, never unloaded (live proxies keep using it).
const WaylandApi* wayland_api(std::string& error);

}  // namespace vistrel::wayland
