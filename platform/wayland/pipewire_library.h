// libpipewire-0.3, loaded at run time by its versioned soname, so the module imports (and
// the portal route answers "cannot load ...") where it is missing. The SPA parts are
// header-only; only the library's own functions go through this table.
#pragma once

#include <pipewire/pipewire.h>

#include <string>

namespace vistrel::wayland {

// clang-format off
#define VISTREL_PW_FUNCTIONS(X)                                                                       \
    X(pw_init) X(pw_thread_loop_new) X(pw_thread_loop_destroy) X(pw_thread_loop_start)               \
    X(pw_thread_loop_stop) X(pw_thread_loop_lock) X(pw_thread_loop_unlock)                           \
    X(pw_thread_loop_get_loop) X(pw_context_new) X(pw_context_destroy) X(pw_context_connect_fd)      \
    X(pw_core_disconnect) X(pw_properties_new) X(pw_stream_new) X(pw_stream_destroy)                 \
    X(pw_stream_add_listener) X(pw_stream_connect) X(pw_stream_dequeue_buffer)                       \
    X(pw_stream_queue_buffer) X(pw_stream_update_params)
// clang-format on

struct PipeWireApi {
#define VISTREL_PW_MEMBER(name) decltype(&::name) name = nullptr;
    VISTREL_PW_FUNCTIONS(VISTREL_PW_MEMBER)
#undef VISTREL_PW_MEMBER
};

// The loaded and initialised library, or null with `error` saying why it could not be
// loaded. Loaded once per process, never unloaded.
const PipeWireApi* pipewire_api(std::string& error);

}  // namespace vistrel::wayland
