#include "platform/wayland/client_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {

const WaylandApi* wayland_api(std::string& error) {
    static const auto loaded = load_library<WaylandApi>("libwayland-client.so.0", [](auto& bind, WaylandApi& api) {
#define VISTREL_WL_BIND(name) bind(#name, api.name);
        VISTREL_WL_FUNCTIONS(VISTREL_WL_BIND)
        VISTREL_WL_INTERFACES(VISTREL_WL_BIND)
#undef VISTREL_WL_BIND
    });  // thread-safe once
    return loaded.get(error);
}

}  // namespace vistrel::wayland
