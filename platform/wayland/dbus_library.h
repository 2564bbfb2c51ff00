// libdbus-1, loaded at run time by its versioned soname, so the module imports (and the
// portal route answers "cannot load ...") where it is missing. Only its types come from
// the header.
#pragma once

#include <dbus/dbus.h>

#include <string>

namespace vistrel::wayland {

// clang-format off
#define VISTREL_DBUS_FUNCTIONS(X)                                                                     \
    X(dbus_error_init) X(dbus_error_free) X(dbus_connection_open_private) X(dbus_bus_register)       \
    X(dbus_bus_get_unique_name)                                                                      \
    X(dbus_bus_add_match) X(dbus_connection_set_exit_on_disconnect) X(dbus_connection_close)         \
    X(dbus_connection_unref) X(dbus_connection_get_unix_fd) X(dbus_connection_read_write)            \
    X(dbus_connection_pop_message) X(dbus_connection_send) X(dbus_connection_flush)                  \
    X(dbus_connection_get_is_connected) X(dbus_message_new_method_call) X(dbus_message_unref)        \
    X(dbus_message_get_type) X(dbus_message_get_reply_serial) X(dbus_message_is_signal)              \
    X(dbus_message_get_path) X(dbus_message_get_error_name) X(dbus_message_iter_init)                \
    X(dbus_message_iter_init_append) X(dbus_message_iter_append_basic)                               \
    X(dbus_message_iter_open_container) X(dbus_message_iter_close_container)                         \
    X(dbus_message_iter_get_arg_type) X(dbus_message_iter_get_basic) X(dbus_message_iter_next)       \
    X(dbus_message_iter_recurse)
// clang-format on

struct DbusApi {
#define VISTREL_DBUS_MEMBER(name) decltype(&::name) name = nullptr;
    VISTREL_DBUS_FUNCTIONS(VISTREL_DBUS_MEMBER)
#undef VISTREL_DBUS_MEMBER
};

// The loaded library, or null with `error` saying why it could not be loaded. Loaded once
// per process, never unloaded.
const DbusApi* dbus_api(std::string& error);

}  // namespace vistrel::wayland
