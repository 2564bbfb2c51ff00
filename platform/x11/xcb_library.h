// libxcb and the extensions the provider uses, loaded at run time by their versioned
// sonames, so the module imports (and answers "cannot load ...") on machines without X.
#pragma once

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

#include <string>

namespace vistrel::x11 {

// name: the C function of that name, typed as the header declares it. Whatever waits for
// the server (the typed reply functions, xcb_request_check, xcb_get_extension_data) waits
// no longer than the thread's ReplyDeadline and then answers as if the server had refused.
// clang-format off
#define VISTREL_XCB_FUNCTIONS(X)                                                                      \
    X(xcb_connect) X(xcb_disconnect) X(xcb_connection_has_error) X(xcb_get_setup)                     \
    X(xcb_setup_roots_iterator) X(xcb_screen_next) X(xcb_setup_vendor) X(xcb_setup_vendor_length)     \
    X(xcb_setup_pixmap_formats) X(xcb_setup_pixmap_formats_length) X(xcb_get_file_descriptor)         \
    X(xcb_flush) X(xcb_poll_for_event) X(xcb_poll_for_queued_event) X(xcb_request_check)              \
    X(xcb_get_extension_data) X(xcb_generate_id) X(xcb_query_pointer) X(xcb_query_pointer_reply)      \
    X(xcb_get_image)                                                                                  \
    X(xcb_get_image_reply) X(xcb_get_image_data) X(xcb_get_image_data_length) X(xcb_get_atom_name)    \
    X(xcb_get_atom_name_reply) X(xcb_get_atom_name_name) X(xcb_get_atom_name_name_length)             \
    X(xcb_get_geometry) X(xcb_get_geometry_reply) X(xcb_change_window_attributes)                     \
    X(xcb_poll_for_reply) X(xcb_discard_reply) X(xcb_get_input_focus) X(xcb_prefetch_extension_data)
#define VISTREL_XCB_SHM_FUNCTIONS(X)                                                                  \
    X(xcb_shm_query_version) X(xcb_shm_query_version_reply) X(xcb_shm_attach_checked)                 \
    X(xcb_shm_detach) X(xcb_shm_get_image) X(xcb_shm_get_image_reply)
#define VISTREL_XCB_DAMAGE_FUNCTIONS(X)                                                               \
    X(xcb_damage_query_version) X(xcb_damage_query_version_reply) X(xcb_damage_create)                \
    X(xcb_damage_subtract)
#define VISTREL_XCB_XFIXES_FUNCTIONS(X)                                                               \
    X(xcb_xfixes_query_version) X(xcb_xfixes_query_version_reply) X(xcb_xfixes_select_cursor_input)   \
    X(xcb_xfixes_get_cursor_image) X(xcb_xfixes_get_cursor_image_reply)                               \
    X(xcb_xfixes_get_cursor_image_cursor_image)
#define VISTREL_XCB_RANDR_FUNCTIONS(X)                                                                \
    X(xcb_randr_query_version) X(xcb_randr_query_version_reply) X(xcb_randr_get_monitors)             \
    X(xcb_randr_get_monitors_reply) X(xcb_randr_get_monitors_monitors_iterator)                       \
    X(xcb_randr_monitor_info_next) X(xcb_randr_monitor_info_outputs)                                  \
    X(xcb_randr_monitor_info_outputs_length) X(xcb_randr_get_output_info)                             \
    X(xcb_randr_get_output_info_reply) X(xcb_randr_get_crtc_info) X(xcb_randr_get_crtc_info_reply)    \
    X(xcb_randr_select_input)
// clang-format on

struct XcbApi {
#define VISTREL_XCB_MEMBER(name) decltype(&::name) name = nullptr;
    VISTREL_XCB_FUNCTIONS(VISTREL_XCB_MEMBER)
    VISTREL_XCB_SHM_FUNCTIONS(VISTREL_XCB_MEMBER)
    VISTREL_XCB_DAMAGE_FUNCTIONS(VISTREL_XCB_MEMBER)
    VISTREL_XCB_XFIXES_FUNCTIONS(VISTREL_XCB_MEMBER)
    VISTREL_XCB_RANDR_FUNCTIONS(VISTREL_XCB_MEMBER)
#undef VISTREL_XCB_MEMBER
    xcb_extension_t* shm_id = nullptr;
    xcb_extension_t* damage_id = nullptr;
    xcb_extension_t* xfixes_id = nullptr;
    xcb_extension_t* randr_id = nullptr;
};

// The loaded libraries, or null with `error` saying which could not be loaded. Loaded
// once per process, never unloaded (their functions stay referenced by live objects).
const XcbApi* xcb_api(std::string& error);

}  // namespace vistrel::x11
