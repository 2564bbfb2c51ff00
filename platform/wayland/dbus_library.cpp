#include "platform/wayland/dbus_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {

const DbusApi* dbus_api(std::string& error) {
    static const auto loaded = load_library<DbusApi>("libdbus-1.so.3", [](auto& bind, DbusApi& api) {
#define VISTREL_DBUS_BIND(name) bind(#name, api.name);
        VISTREL_DBUS_FUNCTIONS(VISTREL_DBUS_BIND)
#undef VISTREL_DBUS_BIND
    });  // thread-safe once
    return loaded.get(error);
}

}  // namespace vistrel::wayland
